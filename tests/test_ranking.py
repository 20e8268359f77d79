"""Result order of the three top-k functions: total order on the score bits,
ties by ascending index, k at its edges, and where nested and flat differ."""

import math

import numpy as np
import pytest

import _velk

from conftest import bits, f32_nan, hit_bits, ref_top_k

NAN = math.nan
INF = math.inf


def flat_np(query, flat, dim, k):
    return _velk.top_k_flat_np(np.array(query, np.float32), np.array(flat, np.float32), dim, k)


FLAT_FUNCTIONS = [_velk.top_k_flat, flat_np]


def as_bits(pairs):
    return [(i, bits(s)) for i, s in pairs]


@pytest.mark.parametrize(
    "query, rows, k, expected",
    [
        ([1, 0], [[0, 1], [1, 0], [1, 1]], 2, [(1, 1.0), (2, 0.7071067690849304)]),
        ([1, 1], [[1, 0], [NAN, 1], [1, 1]], 3, [(1, NAN), (2, 1.0000001192092896), (0, 0.7071067690849304)]),
        ([-1, 0], [[0, -1], [0, 1]], 2, [(1, 0.0), (0, -0.0)]),  # +0.0 above -0.0
        ([1, 0], [[1, 0], [INF, 0]], 2, [(1, NAN), (0, 1.0)]),
        ([], [[1], [2], [3]], 2, [(0, 0.0), (1, 0.0)]),
        ([1, 1], [[1, 0], [1, 1, 5], []], 3, [(0, 0.7071067690849304), (1, 0.27216553688049316), (2, 0.0)]),
        ([1, 0], [[NAN, 1], [1, 0]], 2, [(0, NAN), (1, 1.0)]),
        ([1, 0], [[-1, 0], [0, 1], [1, 0], [-1, -1]], 4, [(2, 1.0), (1, 0.0), (3, -0.7071067690849304), (0, -1.0)]),
    ],
)
def test_nested_order(query, rows, k, expected):
    assert hit_bits(_velk.top_k(query, rows, k)) == as_bits(expected)


@pytest.mark.parametrize("function", FLAT_FUNCTIONS)
@pytest.mark.parametrize(
    "query, flat, dim, k, expected",
    [
        ([1, 1], [1, 0, NAN, 1, 1, 1], 2, 3, [(2, 1.0000001192092896), (0, 0.7071067690849304), (1, 0.0)]),
        ([1, 0], [1, 0, INF, 0], 2, 2, [(1, NAN), (0, 1.0)]),
        ([1, 0], [1, 0, 2, 0, 3, 0], 2, 1, [(0, 1.0)]),  # kk = 1: lowest index among the best
        ([1, 0], [NAN, 1, 1, 0], 2, 2, [(1, 1.0), (0, 0.0)]),
        ([-1, 0], [0, -1, 0, 1], 2, 2, [(1, 0.0), (0, -0.0)]),
    ],
)
def test_flat_order(function, query, flat, dim, k, expected):
    assert hit_bits(function(query, flat, dim, k)) == as_bits(expected)


def test_nan_scores_rank_by_total_order():
    # Each NaN row scores its own NaN (quieted), so the scores are distinct NaNs.
    rows = [
        [1],
        [f32_nan(0x7FC00001)],
        [-1],
        [f32_nan(0xFFC00009)],
        [0],
        [f32_nan(0x7FC00100)],
        [f32_nan(0xFFC00002)],
        [-0.5],
    ]
    got = hit_bits(_velk.top_k([1.0], rows, 8))
    assert got == [
        (5, 0x7FC00100),
        (1, 0x7FC00001),
        (0, bits(1.0)),
        (4, 0),
        (2, bits(-1.0)),
        (7, bits(-1.0)),
        (6, 0xFFC00002),
        (3, 0xFFC00009),
    ]


@pytest.mark.parametrize("function", FLAT_FUNCTIONS)
def test_flat_nan_scores_rank_by_total_order(function):
    # A NaN query: rows where 0 * inf comes first score +qNaN, the others the
    # query's negative NaN; zero rows score +0.0.
    query = [INF, f32_nan(0xFFC00042)]
    flat = [1, 1, 0, 1, 0, 0, 2, 0, 0, 3]
    got = hit_bits(function(query, flat, 2, 5))
    assert got == [(1, 0x7FC00000), (4, 0x7FC00000), (2, 0), (0, 0xFFC00042), (3, 0xFFC00042)]


# 100,000 rows are split over the workers, whose best lists must merge by score,
# then index.
TIE_SIZES = [2, 16, 17, 20, 21, 200, 5000, 100_000]


@pytest.mark.parametrize("n", TIE_SIZES)
@pytest.mark.parametrize("k", [1, 2, 3, 15, 16, 17, 21, 199, 10**9])
def test_ties_keep_ascending_index(n, k):
    # Scores come from a few distinct rows, so every score is shared by many
    # rows: each group must come out in ascending index, on every path and at
    # every cut-off.
    patterns = [[1, 0], [0, 1], [1, 1], [-1, 0], [0, 0], [2, 0], [NAN, 0]]
    rng = np.random.default_rng(n * 31 + k)
    choice = rng.integers(0, len(patterns), n)
    rows = [patterns[c] for c in choice]
    scores = {0: 1.0, 1: 0.0, 2: 0.7071067690849304, 3: -1.0, 4: 0.0, 5: 1.0}
    flat = [x for r in rows for x in r]
    query = [1.0, 0.0]

    def expected(nan_score):
        keyed = [(i, scores.get(c, nan_score)) for i, c in enumerate(choice)]
        ordered = sorted(keyed, key=lambda h: -(h[1] if not math.isnan(h[1]) else math.inf))
        return [(i, bits(s)) for i, s in ordered[:k]]

    assert hit_bits(_velk.top_k(query, rows, k)) == expected(NAN)
    for function in FLAT_FUNCTIONS:
        assert hit_bits(function(query, flat, 2, k)) == expected(0.0)


@pytest.mark.parametrize("n", [1, 5, 20, 21, 1000])
def test_all_equal_scores_keep_row_order(n):
    rows = [[float(i + 1)] for i in range(n)]
    assert _velk.top_k([], rows, n) == [(i, 0.0) for i in range(n)]
    assert _velk.top_k([0.0], rows, 3) == [(i, 0.0) for i in range(min(3, n))]
    flat = [x for r in rows for x in r]
    for function in FLAT_FUNCTIONS:
        assert function([1.0], flat, 1, n) == [(i, 1.0) for i in range(n)]


@pytest.mark.parametrize("n", [21, 100, 3000])
def test_reversed_input_sorts(n):
    # Strictly ascending scores in row order: the whole array must be reversed.
    rows = [[i / n - 0.5, 1.0] for i in range(n)]
    got = _velk.top_k([1.0, 0.0], rows, n)
    assert [i for i, _ in got] == list(range(n - 1, -1, -1))
    assert hit_bits(got) == ref_top_k([1.0, 0.0], rows, n)


@pytest.mark.parametrize("k", [0, 1, 2, 3, 4, 2**63, 2**64 - 1])
def test_k_edges(k):
    rows = [[1, 0], [0, 1], [1, 1]]
    flat = [x for r in rows for x in r]
    full = [(0, 1.0), (2, 0.7071067690849304), (1, 0.0)]
    expected = full[:k]
    assert _velk.top_k([1, 0], rows, k) == expected
    for function in FLAT_FUNCTIONS:
        assert function([1, 0], flat, 2, k) == expected


@pytest.mark.parametrize("k", [0, 1, 2**64 - 1])
def test_empty_embeddings(k):
    assert _velk.top_k([1.0], [], k) == []
    for function in FLAT_FUNCTIONS:
        assert function([1.0], [], 1, k) == []


@pytest.mark.parametrize("function", FLAT_FUNCTIONS)
@pytest.mark.parametrize(
    "query, flat, dim, k",
    [
        ([1, 0], [1, 0], 3, 5),  # dim beyond the array: no rows
        ([1, 0], [1, 0], 2**64 - 1, 5),
        ([1, 0], [1, 0, 1, 1], 2, 0),
        ([], [1, 2], 2, 1),  # empty query
        ([0, 0], [1, 2], 2, 1),  # zero query
        ([0.0, -0.0, 1e-30], [1, 2, 3], 3, 1),  # squared norm underflows to zero
    ],
)
def test_flat_empty_results(function, query, flat, dim, k):
    assert function(query, flat, dim, k) == []


# The nested and flat strategies differ on the same data; one row per line of
# that comparison.
@pytest.mark.parametrize(
    "query, rows, k, nested, flat",
    [
        ([], [[1, 2], [3, 4], [5, 6]], 2, [(0, 0.0), (1, 0.0)], []),
        ([0, 0], [[1, 2]], 1, [(0, 0.0)], []),
        ([1, 0], [[0, 0], [1, 0]], 2, [(1, 1.0), (0, 0.0)], [(1, 1.0), (0, 0.0)]),
        ([1, 0], [[NAN, 1], [1, 0]], 2, [(0, NAN), (1, 1.0)], [(1, 1.0), (0, 0.0)]),
        ([0, 0], [[NAN, 1]], 1, [(0, 0.0)], []),
        ([NAN, 1], [[1, 0], [0, 0]], 2, [(0, NAN), (1, 0.0)], [(0, NAN), (1, 0.0)]),
        ([1, 1], [[1, 0]], 0, [], []),
        # A query longer than dim: nested takes all of a row, flat only dim.
        ([1, 0, 5], [[1, 0]], 1, [(0, 0.1961161345243454)], [(0, 0.1961161345243454)]),
    ],
)
def test_nested_and_flat_differences(query, rows, k, nested, flat):
    assert hit_bits(_velk.top_k(query, rows, k)) == as_bits(nested)
    dim = len(rows[0])
    embeddings = [x for r in rows for x in r]
    for function in FLAT_FUNCTIONS:
        assert hit_bits(function(query, embeddings, dim, k)) == as_bits(flat)
