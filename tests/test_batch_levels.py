"""The batch search's tile kernels at every instruction-set level the processor
can run, against one flat_top_k call per query (tests/batch_search_check.cpp,
built by CMake over the same core)."""

import os
import platform
import subprocess

import pytest
from test_dispatch import STORAGES, checked_pairs, runnable_variants

from conftest import check_driver


@pytest.fixture(scope="module")
def batch_search_check():
    return check_driver("batch_search_check")


@pytest.mark.skipif(
    platform.machine() not in ("x86_64", "AMD64", "aarch64", "arm64"),
    reason="the SIMD levels exist on x86-64 and 64-bit ARM only",
)
@pytest.mark.parametrize("seed", [1, 20261208])
def test_every_level_gives_the_single_query_bits(batch_search_check, seed):
    run = subprocess.run(
        [str(batch_search_check), str(seed)],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "RAYON_NUM_THREADS": "3"},
    )
    assert run.returncode == 0, run.stdout + run.stderr
    levels = runnable_variants() | {"scalar"}
    assert checked_pairs(run.stdout) == {(level, storage) for level in levels for storage in STORAGES}, run.stdout
    assert " 0 NaN scores" not in run.stdout, "the data must exercise the NaN recomputation"
