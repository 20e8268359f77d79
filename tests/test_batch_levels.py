"""The batch search's tile kernels at every instruction-set level the processor
can run, against one flat_top_k call per query (a C++ program built here from
the module's own sources, tests/batch_search_check.cpp)."""

import os
import platform
import shutil
import subprocess
from pathlib import Path

import pytest

from test_dispatch import FLAGS, X86, runnable_variants

ROOT = Path(__file__).resolve().parent.parent
# Each source with the instruction-set flags that CMakeLists.txt gives it on x86-64.
SOURCES = {
    "cosine.cpp": [], "simd_level.cpp": [], "row_scoring.cpp": [], "ranking.cpp": [], "panic.cpp": [],
    "worker_pool.cpp": [], "top_k_collector.cpp": [], "row_search.cpp": [], "search.cpp": [], "tile_search.cpp": [],
    "simd_kernels.cpp": [], "simd_kernels_sse2.cpp": [], "simd_kernels_avx2.cpp": ["-mavx2"],
    "simd_kernels_avx512.cpp": ["-mavx512f"], "simd_kernels_neon.cpp": [],
}


@pytest.fixture(scope="module")
def batch_search_check(tmp_path_factory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    assert compiler, "a C++ compiler is needed to build the module, and this check"
    directory = tmp_path_factory.mktemp("batch_search_check")
    sources = {ROOT / "tests" / "batch_search_check.cpp": []}
    sources.update({ROOT / "src" / "similarity" / name: flags if X86 else [] for name, flags in SOURCES.items()})
    objects = []
    builds = []
    for source, isa_flags in sources.items():
        objects.append(directory / (source.stem + ".o"))
        builds.append(subprocess.Popen([compiler, *FLAGS, *isa_flags, "-pthread", "-I", str(ROOT / "src"), "-c",
                                        str(source), "-o", str(objects[-1])], stderr=subprocess.PIPE, text=True))
    for build in builds:
        assert build.wait() == 0, build.stderr.read()
    binary = directory / "batch_search_check"
    subprocess.run([compiler, "-pthread", "-o", str(binary), *map(str, objects)], check=True)
    return binary


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64", "aarch64", "arm64"),
                    reason="the SIMD levels exist on x86-64 and 64-bit ARM only")
@pytest.mark.parametrize("seed", [1, 20261208])
def test_every_level_gives_the_single_query_bits(batch_search_check, seed):
    run = subprocess.run([str(batch_search_check), str(seed)], capture_output=True, text=True, timeout=300,
                         env={**os.environ, "RAYON_NUM_THREADS": "3"})
    assert run.returncode == 0, run.stdout + run.stderr
    checked = {line.split()[1].rstrip(":") for line in run.stdout.splitlines() if line.startswith("checked")}
    assert checked == runnable_variants() | {"scalar"}, run.stdout
    assert " 0 NaN scores" not in run.stdout, "the data must exercise the NaN recomputation"
