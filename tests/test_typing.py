"""The installed type stub of _velk and the velk package's annotations: present,
in agreement with the built modules, and good enough for mypy --strict and
pyright on the examples."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
TYPING = ROOT / "tests" / "typing"
SOURCE_STUB = ROOT / "src" / "module" / "_velk.pyi"
EXAMPLES = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))


CACHE = ROOT / "build" / "mypy-cache"  # build/ is ignored by git


def run(
    *command: str, env: dict[str, str] | None = None, cwd: pathlib.Path = TYPING
) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "MYPY_CACHE_DIR": str(CACHE), **(env or {})}
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300, env=env)


def require_module(name: str) -> None:
    if importlib.util.find_spec(name) is None:
        pytest.skip(f"{name} is not installed (make test installs it)")


def test_stub_is_installed_beside_the_extension_and_as_a_stub_package():
    site = pathlib.Path(importlib.util.find_spec("_velk").origin).parent
    source = SOURCE_STUB.read_text()
    assert (site / "_velk.pyi").read_text() == source
    assert (site / "_velk-stubs" / "__init__.pyi").read_text() == source


# stubtest keeps its cache in the working directory whatever it is told, so it
# runs in a temporary one.
def test_stubtest_agrees_with_the_built_module(tmp_path):
    require_module("mypy")
    result = run(sys.executable, "-m", "mypy.stubtest", "_velk", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_agrees_with_the_built_package(tmp_path):
    # velk's inline annotations, velk.dask's and the stub of velk._native.
    require_module("mypy")
    result = run(sys.executable, "-m", "mypy.stubtest", "velk", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "3 modules" in result.stdout


def test_package_is_marked_typed():
    package = pathlib.Path(importlib.util.find_spec("velk").origin).parent
    assert (package / "py.typed").exists() and (package / "_native.pyi").exists()


def test_stubtest_catches_a_stub_that_drifts(tmp_path):
    require_module("mypy")
    (tmp_path / "_velk.pyi").write_text(SOURCE_STUB.read_text().replace("embeddings: Sequence", "rows: Sequence"))
    result = run(
        sys.executable, "-m", "mypy.stubtest", "--concise", "_velk", env={"MYPYPATH": str(tmp_path)}, cwd=tmp_path
    )
    assert result.returncode == 1
    assert 'stub parameter "rows" differs from runtime parameter "embeddings"' in result.stdout


def test_mypy_strict_on_examples_and_stub_usage():
    # Strict mode makes an unresolved `import _velk` an error, so this also
    # proves that mypy finds the installed stub package.
    require_module("mypy")
    result = run(
        sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "velk_usage.py", "package_usage.py", *EXAMPLES
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_strict_on_stub_usage():
    # Only the stub usage: dask's untyped API gives pyright's inference false
    # errors in the examples, which mypy (above) checks strictly instead.
    pyright = shutil.which("basedpyright", path=str(pathlib.Path(sys.executable).parent)) or shutil.which("pyright")
    if pyright is None:
        pytest.skip("basedpyright is not installed (make test installs it)")
    result = run(
        pyright, "-p", "pyrightconfig.json", "--pythonpath", sys.executable, "velk_usage.py", "package_usage.py"
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 errors" in result.stdout


@pytest.mark.parametrize("usage", ["velk_usage.py", "package_usage.py"])
def test_stub_promises_hold_at_run_time(usage):
    result = run(sys.executable, usage)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"
