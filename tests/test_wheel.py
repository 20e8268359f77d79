"""Packaging: `pip wheel .` gives a wheel that works in a fresh virtual
environment with no build tools, and `python -m build --sdist` gives an sdist
from which a wheel builds. Both builds are isolated (pip fetches the build
requirements), so they prove that pyproject.toml declares everything."""

import os
import pathlib
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.skipif(
    os.environ.get("VELK_SKIP_PACKAGING") == "1", reason="VELK_SKIP_PACKAGING=1 (e.g. inside cibuildwheel)"
)

# Runs inside the fresh environment: only the wheel and what it declares
# (numpy) are installed there.
SMOKE = textwrap.dedent(
    """
    import array, pathlib, sys, _velk
    prefix = pathlib.Path(sys.prefix).resolve()
    module = pathlib.Path(_velk.__file__).resolve()
    assert module.is_relative_to(prefix), module
    assert (module.parent / "_velk.pyi").is_file() and (module.parent / "_velk-stubs" / "__init__.pyi").is_file()
    assert _velk.cosine_similarity([1, 2, 3], [4, 5, 6]) == 0.9746317863464355
    assert _velk.top_k([1, 0], [[0, 1], [1, 0], [1, 1]], 2) == [(1, 1.0), (2, 0.7071067690849304)]
    rows = [float(i % 7) for i in range(4 * 5000)]
    # Enough rows for the worker pool to score in parallel.
    flat = _velk.top_k_flat([1, 2, 3, 4], rows, 4, 3)
    assert _velk.top_k_flat_np(array.array("f", [1, 2, 3, 4]), array.array("f", rows), 4, 3) == flat
    import numpy, velk
    package = pathlib.Path(velk.__file__).resolve().parent
    assert (package / "py.typed").is_file() and (package / "_native.pyi").is_file()
    result = velk.search(numpy.array([[1, 2, 3, 4], [4, 3, 2, 1]]), numpy.array(rows, numpy.float32).reshape(-1, 4), 3)
    assert [(int(i), float(s)) for i, s in zip(result.indices[0], result.scores[0])] == flat
    print("wheel ok")
    """
)


def run(*command, cwd=ROOT, timeout=600):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{command}\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("packaging")


@pytest.fixture(scope="module")
def wheel(workdir):
    out = workdir / "wheelhouse"
    # Its own build directory, so the incremental build of `make install` is
    # neither reused nor disturbed.
    run(sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "-w", str(out), "-C", f"build-dir={workdir / 'build'}")
    (built,) = out.glob("velk-*.whl")
    return built


# What the core may link against: the C and C++ runtimes (with the dynamic
# loader, which provides thread-local storage), nothing else. The extensions
# link the core too.
RUNTIME_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libstdc++.so.6",
    "libgcc_s.so.1",
    "libpthread.so.0",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}
CORE = "velk.libs/libvelk_core.so"
TAG = f"{sys.version_info.major}{sys.version_info.minor}"


def needed_libraries(path):
    """The DT_NEEDED entries of a shared object, read with readelf."""
    dynamic = run("readelf", "-d", str(path)).stdout
    return {line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines() if "(NEEDED)" in line}


def exported_symbols(path, demangle=False):
    """The dynamic symbols a shared object defines, read with nm."""
    listing = run("nm", "-D", "--defined-only", "--format=just-symbols", *(["-C"] if demangle else []), str(path))
    return set(listing.stdout.splitlines())


def run_path(path):
    dynamic = run("readelf", "-d", str(path)).stdout
    return [
        line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(RUNPATH)" in line or "(RPATH)" in line
    ]


def test_wheel_holds_the_extensions_stubs_and_package_and_depends_on_numpy_alone(wheel, workdir):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
        (extension,) = [n for n in names if n.startswith(f"_velk.cpython-{TAG}") and n.endswith(".so")]
        (native,) = [n for n in names if n.startswith(f"velk/_native.cpython-{TAG}") and n.endswith(".so")]
        for name in (extension, native, CORE):
            archive.extract(name, workdir / "unpacked")
    assert "_velk.pyi" in names and "_velk-stubs/__init__.pyi" in names
    for name in ("__init__.py", "dask.py", "py.typed", "_native.pyi"):
        assert "velk/" + name in names
    # numpy for velk.search, and otherwise only the test extra's tools.
    requirements = [line for line in metadata.splitlines() if line.startswith("Requires-Dist:")]
    assert [line for line in requirements if "extra ==" not in line] == ["Requires-Dist: numpy>=1.26"], requirements
    assert not any(n.startswith(("src/", "tests/", "examples/")) for n in names)
    if sys.platform.startswith("linux"):
        # Both extensions load the one core in velk.libs, found
        # relative to themselves wherever the wheel is installed.
        for path, init, origin in (
            (extension, "PyInit__velk", "$ORIGIN/velk.libs"),
            (native, "PyInit__native", "$ORIGIN/../velk.libs"),
        ):
            needed = needed_libraries(workdir / "unpacked" / path)
            assert "libvelk_core.so" in needed and needed - {"libvelk_core.so"} <= RUNTIME_LIBRARIES, needed
            assert exported_symbols(workdir / "unpacked" / path) == {init}
            assert run_path(workdir / "unpacked" / path) == [origin]
        core = workdir / "unpacked" / CORE
        assert needed_libraries(core) <= RUNTIME_LIBRARIES
        exports = exported_symbols(core, demangle=True)
        # The interface and Panic's type, so that every module catches the core's panics.
        assert {"typeinfo for velk::Panic", "velk::pool_worker_count()"} <= exports, exports
        others = {
            name
            for name in exports
            if not name.removeprefix("typeinfo for ")
            .removeprefix("typeinfo name for ")
            .removeprefix("vtable for ")
            .startswith("velk::")
        }
        assert not others, others


def test_wheel_works_in_a_fresh_venv_without_build_tools(wheel, workdir):
    venv = workdir / "fresh"
    run(sys.executable, "-m", "venv", str(venv))
    python = venv / "bin" / "python"
    # Binary only: pip may not compile anything here.
    run(str(python), "-m", "pip", "install", "-q", "--only-binary", ":all:", str(wheel))
    installed = run(str(python), "-m", "pip", "list", "--format=freeze").stdout
    assert not any(tool in installed.lower() for tool in ("cmake", "ninja", "scikit-build", "tbb"))
    assert "numpy==" in installed.lower()
    result = run(str(python), "-c", SMOKE, cwd=workdir)  # not ROOT: no source tree on sys.path
    assert result.stdout.strip() == "wheel ok"


def test_sdist_builds_and_a_wheel_builds_from_it(workdir):
    out = workdir / "sdist"
    run(sys.executable, "-m", "build", "--sdist", "--outdir", str(out), ".")
    (sdist,) = out.glob("velk-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in (
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "src/module/_velk.pyi",
        "src/module/exports.map",
        "src/velk/__init__.py",
        "src/velk/py.typed",
        "src/velk_native/exports.map",
        "src/similarity/exports.map",
        "src/similarity/exports.txt",
        "cmake/aarch64-linux-gnu.cmake",
    ):
        assert needed in names
    assert not any(name.startswith((".venv/", "build/")) for name in names)
    run(sys.executable, "-m", "pip", "wheel", str(sdist), "--no-deps", "-w", str(workdir / "from-sdist"))
    assert list((workdir / "from-sdist").glob("velk-*.whl"))
