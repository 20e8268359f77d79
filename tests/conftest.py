"""Shared test helpers: a slow, obviously correct float32 model of the scores and
rankings, bit-pattern helpers, and a subprocess runner.

The model does every operation on numpy float32 scalars one at a time. numpy
(like the hardware) gives a negative default NaN for invalid operations on x86
and leaves the choice between two NaN operands to the instruction, so every NaN
result is replaced explicitly by the module's rule: one NaN operand gives that
NaN quieted (sign and payload kept), two give the left one quieted, and an
invalid operation on numbers gives +qNaN 0x7FC00000.
"""

import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np

import _velk

F32 = np.float32
QUIET_BIT = 0x00400000
DEFAULT_NAN_BITS = 0x7FC00000


def bits(value) -> int:
    """The float32 bit pattern of a Python float or numpy float32 that holds one."""
    return struct.unpack("<I", struct.pack("<f", value))[0]


def from_bits(pattern: int) -> np.float32:
    return np.array([pattern], dtype=np.uint32).view(np.float32)[0]


def f32_nan(pattern: int) -> float:
    """A Python float that narrows back to exactly this (quiet) float32 NaN."""
    assert pattern & 0x7FC00000 == 0x7FC00000, "only quiet NaNs survive widening"
    return float(from_bits(pattern))


def to_f32(value) -> np.float32:
    # The module's element conversion: to double first (ints round there), then
    # round to nearest even into single precision.
    with np.errstate(over="ignore"):
        return F32(float(value))


def _is_nan(x) -> bool:
    return x != x


def _quieted(x) -> np.float32:
    return from_bits(bits(x) | QUIET_BIT)


def _nan_rule(left, right, result) -> np.float32:
    if not _is_nan(result):
        return result
    if _is_nan(left):
        return _quieted(left)
    if _is_nan(right):
        return _quieted(right)
    return from_bits(DEFAULT_NAN_BITS)


def mul(a, b):
    return _nan_rule(a, b, a * b)


def add(a, b):
    return _nan_rule(a, b, a + b)


def div(a, b):
    return _nan_rule(a, b, a / b)


def sqrt(x):
    return _quieted(x) if _is_nan(x) else np.sqrt(x)


def dot(a, b):
    acc = F32(-0.0)
    for x, y in zip(a, b, strict=False):  # the shorter length, on purpose
        acc = add(acc, mul(x, y))
    return acc


def squared_norm(v):
    acc = F32(-0.0)
    for x in v:
        acc = add(acc, mul(x, x))
    return acc


def _f32_list(values):
    return [v if isinstance(v, np.float32) else to_f32(v) for v in values]


def ref_cosine(a, b) -> np.float32:
    """The full form: both norms over their whole vectors, the dot over the shorter."""
    a, b = _f32_list(a), _f32_list(b)
    with np.errstate(all="ignore"):
        d, na, nb = dot(a, b), squared_norm(a), squared_norm(b)
        if na == 0 or nb == 0:
            return F32(0.0)
        return div(d, mul(sqrt(na), sqrt(nb)))


def ref_row_score(row, query, query_norm) -> np.float32:
    """The flat form: only the row's squared norm is guarded, strictly above zero."""
    with np.errstate(all="ignore"):
        nr = squared_norm(row)
        if not nr > 0:
            return F32(0.0)
        return div(dot(query, row), mul(sqrt(nr), query_norm))


def rank_key(pattern: int) -> int:
    """IEEE totalOrder as an integer: greater ranks higher."""
    signed = pattern - (1 << 32) if pattern & 0x80000000 else pattern
    return signed ^ 0x7FFFFFFF if signed < 0 else signed


def _ranked(scored):
    # Python's sort is stable: ties keep ascending index, the module's rule.
    return sorted(scored, key=lambda hit: -rank_key(hit[1]))


def ref_top_k(query, rows, k):
    """Nested strategy as [(index, float32 bits)]: every row scored, all sorted, then cut."""
    scored = [(i, bits(ref_cosine(query, row))) for i, row in enumerate(rows)]
    return _ranked(scored)[:k]


def ref_top_k_flat(query, flat, dim, k):
    """Flat strategy as [(index, float32 bits)]; dim == 0 raises ZeroDivisionError."""
    n = len(flat) // dim
    kk = min(n, k)
    query = _f32_list(query)
    if kk == 0 or not query:
        return []
    with np.errstate(all="ignore"):
        s = squared_norm(query)
        query_norm = sqrt(s)
    if s == 0:
        return []
    flat = _f32_list(flat)
    scored = [(i, bits(ref_row_score(flat[i * dim : (i + 1) * dim], query, query_norm))) for i in range(n)]
    return _ranked(scored)[:kk]


def hit_bits(result):
    """A result list as [(index, float32 bits)], checking its shape on the way."""
    out = []
    for hit in result:
        assert type(hit) is tuple and len(hit) == 2
        assert type(hit[0]) is int and type(hit[1]) is float
        out.append((hit[0], bits(hit[1])))
    return out


# A build with AddressSanitizer: its shadow memory cannot live under an
# address-space limit, and its quarantine changes every memory figure.
UNDER_ASAN = "asan" in Path("/proc/self/maps").read_text()


def run_python(code: str, env=None, timeout=120) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter of the test environment."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=full_env, timeout=timeout
    )


def _panic_exception_class() -> type[BaseException]:
    """The module's panic class; it is reachable only through a raised instance."""
    try:
        _velk.top_k_flat([], [], 0, 0)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("dim = 0 did not panic")


PanicException = _panic_exception_class()


def check_driver(name):
    """A C++ check driver built by CMake (`make checks`, which `make test` runs)
    in the directory VELK_CHECKS_DIR names; the calling test is skipped when
    there is none."""
    import pytest

    directory = os.environ.get("VELK_CHECKS_DIR")
    if not directory:
        pytest.skip(f"{name}: VELK_CHECKS_DIR is not set (make test builds the check drivers and sets it)")
    binary = os.path.join(directory, name)
    if not os.access(binary, os.X_OK):
        pytest.skip(f"{name}: not built in VELK_CHECKS_DIR={directory} (run make checks)")
    return binary


# Results of velk.search against one _velk.top_k_flat_np call per query.
def reference(queries, e, k):
    """(scores, indices) from one top_k_flat_np call per query, padded."""
    kk = min(k, e.shape[0])
    scores = np.full((len(queries), kk), -np.inf, np.float32)
    indices = np.full((len(queries), kk), -1, np.int64)
    for i, query in enumerate(queries):
        hits = _velk.top_k_flat_np(query, e, e.shape[1], k)
        indices[i, : len(hits)] = [index for index, _ in hits]
        scores[i, : len(hits)] = [score for _, score in hits]
    return scores, indices


def assert_same(got, want):
    scores, indices = got
    assert scores.dtype == np.float32 and indices.dtype == np.int64
    assert scores.shape == want[0].shape and indices.shape == want[1].shape
    np.testing.assert_array_equal(indices, want[1])
    # Bits, so that NaN signs and payloads and signed zeros count too.
    np.testing.assert_array_equal(scores.view(np.uint32), want[0].view(np.uint32))
