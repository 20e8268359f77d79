"""Randomized agreement of top_k_flat_np, top_k_flat and top_k with the slow
float32 model, scores compared as float32 bits, on collections seeded with
NaN, infinite, zero, subnormal and huge rows."""

import numpy as np
import pytest

import _velk

from conftest import from_bits, hit_bits, ref_top_k, ref_top_k_flat

QUIET_NANS = [0x7FC00000, 0xFFC00000, 0x7FC0BEEF, 0xFFE00001]


def make_rows(rng, n, dim, nan_patterns=QUIET_NANS):
    rows = rng.standard_normal((n, dim)).astype(np.float32)
    kind = rng.random(n)
    for i in np.flatnonzero(kind < 0.05):  # NaN rows
        rows[i, rng.integers(dim)] = from_bits(int(rng.choice(nan_patterns)))
    for i in np.flatnonzero((kind >= 0.05) & (kind < 0.09)):  # infinite rows
        rows[i, rng.integers(dim)] = rng.choice([np.inf, -np.inf])
    rows[(kind >= 0.09) & (kind < 0.13)] = 0.0
    rows[(kind >= 0.13) & (kind < 0.15)] = -0.0
    rows[(kind >= 0.15) & (kind < 0.17)] *= np.float32(1e-42)  # subnormal, squares vanish
    rows[(kind >= 0.17) & (kind < 0.19)] *= np.float32(1e-19)  # tiny but nonzero squares
    rows[(kind >= 0.19) & (kind < 0.21)] *= np.float32(1e19)  # squares overflow
    # Duplicated rows make tied scores.
    dup = np.flatnonzero((kind >= 0.21) & (kind < 0.3))
    if n > 1 and len(dup):
        rows[dup] = rows[rng.integers(n, size=len(dup))]
    return rows


def make_query(rng, q, query_kind):
    query = rng.standard_normal(q).astype(np.float32)
    if q and query_kind == "nan":
        query[rng.integers(q)] = from_bits(0xFFC00123)
    elif q and query_kind == "inf":
        query[rng.integers(q)] = np.inf
    elif query_kind == "zero":
        query[:] = 0.0
    elif query_kind == "huge":
        query *= np.float32(1e20)
    return query


def check_flat(query, flat, dim, k):
    expected = ref_top_k_flat(list(query), list(flat), dim, k)
    assert hit_bits(_velk.top_k_flat_np(query, flat, dim, k)) == expected
    assert hit_bits(_velk.top_k_flat(query.tolist(), flat.tolist(), dim, k)) == expected
    return expected


CASES = [
    # n, dim, query length offset from dim, remainder, k
    (0, 3, 0, 2, 5),
    (1, 1, 0, 0, 1),
    (2, 4, 0, 3, 1),
    (17, 5, 0, 0, 17),
    (40, 8, -3, 5, 7),
    (40, 8, 4, 1, 40),
    (300, 16, 0, 0, 10),
    (300, 33, 1, 32, 1),
    (301, 7, -6, 6, 1000),
    (5000, 16, 0, 9, 25),  # several pieces on the worker pool
    (3000, 64, -1, 0, 3000),
]


@pytest.mark.parametrize("query_kind", ["none", "nan", "inf", "zero", "huge"])
@pytest.mark.parametrize("n, dim, q_offset, remainder, k", CASES)
def test_flat_functions_agree_with_the_model(n, dim, q_offset, remainder, k, query_kind):
    rng = np.random.default_rng([n, dim, q_offset + 10, remainder, k, len(query_kind)])
    rows = make_rows(rng, n, dim)
    tail = rng.standard_normal(remainder).astype(np.float32)  # belongs to no row
    flat = np.concatenate([rows.reshape(-1), tail])
    query = make_query(rng, dim + q_offset, query_kind)
    expected = check_flat(query, flat, dim, k)
    if remainder == 0 and n:
        assert hit_bits(_velk.top_k_flat_np(query, rows, dim, k)) == expected


@pytest.mark.parametrize("query_kind", ["none", "nan", "zero"])
@pytest.mark.parametrize("n, dim, q_offset, remainder, k", [c for c in CASES if c[0] <= 3000])
def test_nested_agrees_with_the_model(n, dim, q_offset, remainder, k, query_kind):
    rng = np.random.default_rng([n, dim, q_offset + 10, remainder, k, len(query_kind), 1])
    rows = make_rows(rng, n, dim)
    nested = [r.tolist() for r in rows]
    # Ragged rows: some shorter, some longer than dim.
    for i in range(0, n, 7):
        nested[i] = nested[i][: int(rng.integers(dim + 1))]
    for i in range(3, n, 11):
        nested[i] = nested[i] + rng.standard_normal(3).astype(np.float32).tolist()
    query = make_query(rng, dim + q_offset, query_kind).tolist()
    assert hit_bits(_velk.top_k(query, nested, k)) == ref_top_k(query, nested, k)


@pytest.mark.parametrize("seed", range(4))
def test_signaling_nans_are_quieted(seed):
    # Signaling NaNs only reach the kernel through the zero-copy path (widening
    # to a Python float would quiet them).
    rng = np.random.default_rng(seed)
    rows = make_rows(rng, 60, 6, nan_patterns=[0x7F800001, 0xFF800ABC, 0x7FA00000])
    query = make_query(rng, 6, "none")
    query[seed] = from_bits([0x7F800005, 0xFF812345, 0x7FC00007, 0xFFBFFFFF][seed])
    expected = ref_top_k_flat(list(query), list(rows.reshape(-1)), 6, 60)
    assert hit_bits(_velk.top_k_flat_np(query, rows, 6, 60)) == expected
    assert all(bits & 0x00400000 for _, bits in expected if (bits & 0x7F800000) == 0x7F800000 and bits & 0x7FFFFF)


@pytest.mark.parametrize("seed", range(3))
def test_nested_and_flat_give_the_same_bits_for_finite_nonzero_rows(seed):
    rng = np.random.default_rng(50 + seed)
    dim = int(rng.integers(1, 40))
    rows = rng.standard_normal((500, dim)).astype(np.float32)
    query = rng.standard_normal(dim).astype(np.float32)
    by_index = sorted(hit_bits(_velk.top_k(query.tolist(), rows.tolist(), 500)))
    assert by_index == sorted(hit_bits(_velk.top_k_flat_np(query, rows, dim, 500)))
    flat = rows.reshape(-1).tolist()
    assert _velk.top_k(query.tolist(), rows.tolist(), 9) == _velk.top_k_flat(query.tolist(), flat, dim, 9)


def test_repeated_calls_are_identical():
    rng = np.random.default_rng(99)
    rows = make_rows(rng, 20000, 8)
    query = make_query(rng, 8, "none")
    first = _velk.top_k_flat_np(query, rows, 8, 20000)
    for _ in range(3):
        assert hit_bits(_velk.top_k_flat_np(query, rows, 8, 20000)) == hit_bits(first)
