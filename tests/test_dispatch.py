"""The flat row scorers: every instruction-set variant against the scalar
reference (tests/kernel_check.cpp, built by CMake over the same core), and
the variant the installed module picked against the full cosine form."""

import platform
import subprocess
from pathlib import Path

import numpy as np
import pytest

import _velk

from conftest import bits, check_driver

X86 = platform.machine() in ("x86_64", "AMD64")
ARM64 = platform.machine() in ("aarch64", "arm64")


def cpu_flags():
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


@pytest.fixture(scope="module")
def kernel_check():
    return check_driver("kernel_check")


def runnable_variants():
    if ARM64:
        return {"neon"}
    flags = cpu_flags()
    # The AVX2 kernels widen float16 with F16C, which the level requires.
    avx2 = {"avx2"} if {"avx2", "f16c"} <= flags else set()
    avx512 = {"avx512"} if "avx512f" in flags else set()
    # Its int8 and uint8 kernels sum squares with VNNI's integer dot product
    # and widen bytes with AVX512BW's byte shuffle.
    vnni = {"avx512vnni"} if {"avx512f", "avx512bw", "avx512_vnni"} <= flags else set()
    return {"sse2"} | avx2 | avx512 | vnni


STORAGES = {"float32", "float16", "bfloat16", "int8", "uint8"}


def checked_pairs(stdout):
    """The (level, storage type) pairs a driver reports as compared."""
    return {tuple(line.split()[1:3]) for line in stdout.replace(":", " ").splitlines() if line.startswith("checked")}


@pytest.mark.skipif(not (X86 or ARM64), reason="the SIMD variants exist on x86-64 and 64-bit ARM only")
@pytest.mark.parametrize("seed", [1, 20261208])
def test_every_variant_gives_the_reference_bits(kernel_check, seed):
    run = subprocess.run([str(kernel_check), str(seed)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    # Every instantiation the processor can run must really have been
    # compared, for every storage type; the compact types on the scalar level
    # too, against the scalar reference on their float32 copies.
    expected = {(level, storage) for level in runnable_variants() for storage in STORAGES}
    expected |= {("scalar", storage) for storage in STORAGES - {"float32"}}
    assert checked_pairs(run.stdout) == expected, run.stdout
    assert " 0 NaN scores" not in run.stdout, "the data must exercise the NaN recomputation"


@pytest.mark.skipif(not (X86 or ARM64), reason="the control register is read on x86-64 and 64-bit ARM only")
def test_scoring_scope_sets_the_default_environment_and_restores_the_callers(kernel_check):
    # Flush-to-zero and rounding toward zero set on the thread change scores;
    # inside the scoring scope every variant must give the default bits, and
    # the thread's settings must be back afterwards.
    run = subprocess.run([str(kernel_check), "environment"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert ", 0 failures" in run.stdout, run.stdout


def awkward_rows(rng, n, dim):
    """Ordinary values with zeros, subnormals, overflowing squares, infinities
    and NaNs sprinkled in, whole zero rows, and one-NaN rows."""
    e = (rng.standard_normal((n, dim)) * 2.0 ** rng.integers(-10, 10, (n, dim))).astype(np.float32)
    specials = np.array([0.0, -0.0, 1e-42, -1e-40, 3e38, -2e19, np.inf, -np.inf, np.nan], dtype=np.float32)
    mask = rng.random((n, dim)) < 0.02
    e[mask] = rng.choice(specials, mask.sum())
    e[rng.random(n) < 0.1] = 0.0
    nan_rows = rng.random(n) < 0.1
    e[nan_rows, rng.integers(0, dim, nan_rows.sum())] = np.nan
    return e


@pytest.mark.parametrize(
    "n, dim, query_length",
    [(53, d, d) for d in [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 63, 64, 65, 767, 768, 769]]
    + [(53, 20, 7), (53, 20, 33), (53, 768, 1), (5000, 33, 33), (4099, 129, 100)]
    # ranges of several chunks of rows, each chunk's rows split among the lanes
    + [(9000, 4, 4), (20_003, 2, 2)],
)
def test_installed_variant_matches_the_full_form(n, dim, query_length):
    # A row's flat score equals cosine_similarity(query, row) unless the row's
    # squared norm is NaN, which scores 0.0.
    rng = np.random.default_rng(n * 1000 + dim)
    e = awkward_rows(rng, n, dim)
    q = (rng.standard_normal(query_length) * 3).astype(np.float32)
    scores = dict(_velk.top_k_flat_np(q, e, dim, n))
    assert sorted(scores) == list(range(n))
    query = q.tolist()
    with np.errstate(all="ignore"):
        nan_norm = np.isnan(e).any(axis=1)
    for i in range(n):
        expected = 0.0 if nan_norm[i] else _velk.cosine_similarity(query, e[i].tolist())
        assert bits(scores[i]) == bits(expected), (i, scores[i], expected)
