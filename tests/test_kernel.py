"""Bit-exact cosine scores: the full form through cosine_similarity, the row
form through the flat functions, against known values and the float32 model."""

import math

import numpy as np
import pytest

import _velk
from conftest import DEFAULT_NAN_BITS, bits, f32_nan, from_bits, ref_cosine

INF = math.inf
NAN = math.nan


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1, 2, 3], [4, 5, 6], 0.9746317863464355),
        # The two rounded roots of 2 multiply to one ulp below 2; never clamped.
        ([1, 1], [1, 1], 1.0000001192092896),
        ([1, 2, 3], [1, 2, 3], 0.9999999403953552),
        # Element-order accumulation: lane-wise partial sums would give 0.0.
        ([1e8, 1, -1e8, 1], [1, 1, 1, 1], 3.5355338656728463e-09),
        # A fused multiply-add would give 0.7440434098243713.
        ([0.6, 0.2, 1.1], [0.2, 3.3, 3.3], 0.7440434694290161),
        ([1, 1], [1], 0.7071067690849304),
        ([1], [1, 1], 0.7071067690849304),
        ([-1, 0], [0, -1], -0.0),  # the sum starts at -0.0
        ([1, 0], [0, 1], 0.0),
        ([], [1, 2], 0.0),
        ([1, 2], [], 0.0),
        ([], [], 0.0),
        ([0, 0], [1, 2], 0.0),
        ([-0.0], [1], 0.0),
        ([1e-30], [1], 0.0),  # the square underflows, the zero guard applies
        ([2e19], [1], 0.0),  # 2e19 / inf
        ([NAN], [0], 0.0),  # the zero norm of b wins over the NaN of a
        ([1, -1], [-1, 1], -1.0000001192092896),
    ],
)
def test_known_values(a, b, expected):
    assert bits(_velk.cosine_similarity(a, b)) == bits(expected)


@pytest.mark.parametrize(
    "a, b, expected_bits",
    [
        ([1e20], [1e20], DEFAULT_NAN_BITS),  # inf / inf
        ([INF], [INF], DEFAULT_NAN_BITS),
        ([0, 1], [INF, 1], DEFAULT_NAN_BITS),  # 0 * inf in the dot product
        ([INF, INF], [1, -1], DEFAULT_NAN_BITS),  # inf - inf in the dot product
        ([-INF], [1], DEFAULT_NAN_BITS),  # -inf / inf is still the positive NaN
        ([NAN], [1], 0x7FC00000),
        ([-NAN], [1], 0xFFC00000),  # a NaN operand keeps its sign
        ([f32_nan(0x7FC01234)], [1], 0x7FC01234),  # ... and its payload
        ([1], [f32_nan(0xFFC00077)], 0xFFC00077),
        # Two NaNs: the left operand wins. d = qB + qA = qB; the denominator
        # sqrt(qA) * sqrt(qB) = qA; qB / qA = qB, the dividend.
        ([1, f32_nan(0x7FC0000A)], [f32_nan(0xFFC0000B), 1], 0xFFC0000B),
        # The dot covers only [1] * [1]; the NaN sits in a's norm alone.
        ([1, f32_nan(0xFFC00005)], [1], 0xFFC00005),
    ],
)
def test_nan_results(a, b, expected_bits):
    result = _velk.cosine_similarity(a, b)
    assert math.isnan(result)
    assert bits(result) == expected_bits


@pytest.mark.parametrize(
    "a, b",
    [
        ([1e-20], [1]),  # squared norm 1e-40 is subnormal, not zero
        ([1e-40, 1e-40], [1e-40, 2e-40]),  # subnormal inputs whose squares underflow
        ([3e-39, 1], [1, 3e-39]),
        ([1e19, 1e19], [1e19, -1e19]),  # squares overflow, the dot is inf - inf
        ([3e38, 3e38], [1, 1]),
        ([1e-20, 1e20], [1e20, 1e-20]),
        ([1e39], [1]),  # the element itself overflows on narrowing
    ],
)
def test_extreme_magnitudes_match_the_model(a, b):
    assert bits(_velk.cosine_similarity(a, b)) == bits(ref_cosine(a, b))


def test_subnormal_norm_is_not_flushed():
    # With flush-to-zero the norm would be 0 and the score 0.0.
    assert _velk.cosine_similarity([1e-20], [1.0]) == pytest.approx(1.0, rel=1e-5)


def _special_vector(rng, length):
    v = rng.standard_normal(length).astype(np.float32)
    pick = rng.random(length)
    v[pick < 0.04] = 0.0
    v[(pick >= 0.04) & (pick < 0.06)] = -0.0
    v[(pick >= 0.06) & (pick < 0.07)] = np.float32(1e-41)
    v[(pick >= 0.07) & (pick < 0.08)] = np.float32(3e19) * np.sign(rng.standard_normal())
    v[(pick >= 0.08) & (pick < 0.085)] = np.inf
    v[(pick >= 0.085) & (pick < 0.09)] = from_bits(int(rng.choice([0x7FC00000, 0xFFC00003, 0x7FD00001])))
    return v


# Lengths around the 4- and 16-element blocks, and unequal lengths.
LENGTHS = [0, 1, 3, 4, 5, 15, 16, 17, 31, 32, 33, 64, 65, 100]


@pytest.mark.parametrize("seed", range(6))
def test_random_vectors_match_the_model(seed):
    rng = np.random.default_rng(seed)
    for _ in range(40):
        a = _special_vector(rng, int(rng.choice(LENGTHS)))
        b = _special_vector(rng, int(rng.choice(LENGTHS)))
        got = _velk.cosine_similarity(a.tolist(), b.tolist())
        assert bits(got) == bits(ref_cosine(list(a), list(b))), (a, b)


@pytest.mark.parametrize("seed", range(3))
def test_plain_random_vectors_match_the_model(seed):
    rng = np.random.default_rng(100 + seed)
    for length in LENGTHS[1:]:
        a = (rng.standard_normal(length) * 10.0 ** rng.integers(-5, 5)).astype(np.float32)
        b = rng.standard_normal(length).astype(np.float32)
        assert bits(_velk.cosine_similarity(a.tolist(), b.tolist())) == bits(ref_cosine(list(a), list(b)))


@pytest.mark.parametrize(
    "query, flat, dim, expected",
    [
        # The row form: a NaN row and a zero row score +0.0.
        ([1, 1], [1, 0, 1, 1], 2, [(1, 1.0000001192092896), (0, 0.7071067690849304)]),
        ([1, 0], [NAN, 1, 0, 0, 1, 0], 2, [(2, 1.0), (0, 0.0), (1, 0.0)]),
        ([3, 4], [3, 4, 4, 3, 0, 0, 1], 2, [(0, 1.0), (1, 0.9599999785423279), (2, 0.0)]),
        # Dot over the first min(dim, q) positions, query norm over all of it.
        ([1, 0, 5], [1, 0], 2, [(0, 0.1961161345243454)]),
    ],
)
def test_row_form_values(query, flat, dim, expected):
    got = _velk.top_k_flat(query, flat, dim, 10)
    assert [(i, bits(s)) for i, s in got] == [(i, bits(s)) for i, s in expected]
    np_got = _velk.top_k_flat_np(np.array(query, np.float32), np.array(flat, np.float32), dim, 10)
    assert [(i, bits(s)) for i, s in np_got] == [(i, bits(s)) for i, s in expected]


def test_row_form_equals_full_form_when_the_row_norm_is_not_nan():
    rng = np.random.default_rng(7)
    query = rng.standard_normal(9).astype(np.float32).tolist()
    rows = [_special_vector(rng, 9) for _ in range(200)]
    rows = [r for r in rows if not np.isnan(r).any()]
    flat = [x for r in rows for x in r.tolist()]
    got = dict(_velk.top_k_flat(query, flat, 9, len(rows)))
    for i, row in enumerate(rows):
        assert bits(got[i]) == bits(_velk.cosine_similarity(query, row.tolist())), row
