"""Bit-exact cosine scores: the full form through cosine_similarity, the row
form through the flat functions, against known values and the float32 model."""

import math
import platform
import shutil
import subprocess
import sys
import textwrap

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
        ([1, 0], [1e-39, 1]),  # a subnormal score, widened exactly
        ([-1, 0], [1e-44, 1]),
    ],
)
def test_extreme_magnitudes_match_the_model(a, b):
    assert bits(_velk.cosine_similarity(a, b)) == bits(ref_cosine(a, b))


def test_subnormal_norm_is_not_flushed():
    # With flush-to-zero the norm would be 0 and the score 0.0.
    assert _velk.cosine_similarity([1e-20], [1.0]) == pytest.approx(1.0, rel=1e-5)


def _awkward_vector(rng, length):
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
        a = _awkward_vector(rng, int(rng.choice(LENGTHS)))
        b = _awkward_vector(rng, int(rng.choice(LENGTHS)))
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
    rows = [_awkward_vector(rng, 9) for _ in range(200)]
    rows = [r for r in rows if not np.isnan(r).any()]
    flat = [x for r in rows for x in r.tolist()]
    got = dict(_velk.top_k_flat(query, flat, 9, len(rows)))
    for i, row in enumerate(rows):
        assert bits(got[i]) == bits(_velk.cosine_similarity(query, row.tolist())), row


MXCSR_HELPER = """
unsigned velk_test_get_mxcsr(void) { return __builtin_ia32_stmxcsr(); }
void velk_test_set_mxcsr(unsigned value) { __builtin_ia32_ldmxcsr(value); }
"""

ENVIRONMENT_SCRIPT = """
    import ctypes, math, random, struct, sys
    import numpy as np
    import _velk

    helper = ctypes.CDLL(sys.argv[1])
    helper.velk_test_get_mxcsr.restype = ctypes.c_uint
    default = helper.velk_test_get_mxcsr()

    rng = random.Random(5)
    def value():
        kind = rng.random()
        if kind < 0.1:
            return rng.uniform(-1, 1) * 2.0 ** rng.randint(-160, -120)  # float subnormal range
        if kind < 0.15:
            return rng.choice([-1, 1]) * rng.uniform(3.3e38, 3.41e38)  # around the largest float
        return rng.uniform(-1, 1) * 2.0 ** rng.randint(-20, 20)
    vectors = [[value() for _ in range(rng.randint(1, 40))] for _ in range(200)]
    # A subnormal element that matters, and a subnormal score.
    pairs = [([3e-39, 1e-19], [1e19, 1.0]), ([1.0, 0.0], [1e-39, 1.0]), ([2.0 ** -75, 2.0 ** -74], [1.0, 1.0])]
    query = vectors[0][:8] + [0.0] * (8 - len(vectors[0][:8]))
    flat = [x for v in vectors for x in v]
    with np.errstate(over="ignore"):
        q32, e32 = np.array(query, np.float32), np.array(flat[: len(flat) // 8 * 8], np.float32)

    # Halfway cases and their neighbours, and values that narrow to subnormals,
    # read back exactly (see test_conversions.narrowed).
    floats = np.array([rng.uniform(-1, 1) * 2.0 ** rng.randint(-149, 40) for _ in range(1500)], np.float32)
    ulps = np.nextafter(floats, np.float32(np.inf)) - floats
    ties = [float(f) + float(u) / 2 for f, u in zip(floats, ulps) if f != 0]
    ties += [math.nextafter(t, d) for t in ties for d in (math.inf, -math.inf)]

    def narrowed(x):
        scale = max(-63, min(63, math.frexp(x)[1] + 12))
        big = math.ldexp(1.0, scale)
        (_, score), = _velk.top_k_flat([x, big], [1.0], 1, 1)
        return math.ldexp(score, scale)

    def run():
        out = [narrowed(x) for x in ties]
        out += [_velk.cosine_similarity(a, b) for a, b in zip(vectors, vectors[1:] + vectors[:1])]
        out += [_velk.cosine_similarity(a, b) for a, b in pairs]
        out += [s for pair in _velk.top_k(pairs[1][0], [pairs[1][1]], 1) for s in pair]
        out += [s for pair in _velk.top_k(query, vectors, 50) for s in pair]
        out += [s for pair in _velk.top_k_flat(query, flat, 8, 50) for s in pair]
        out += [s for pair in _velk.top_k_flat_np(q32, e32, 8, 50) for s in pair]
        return out

    results = {}
    for name, control in [("default", default), ("upward", 0x5F80), ("downward", 0x3F80),
                          ("toward zero", 0x7F80), ("ftz daz", 0x9FC0)]:
        helper.velk_test_set_mxcsr(control)
        got = run()
        after = helper.velk_test_get_mxcsr() & ~0x3F
        helper.velk_test_set_mxcsr(default)
        results[name] = [struct.pack("<d", x) for x in got]
        assert after == control & ~0x3F, (name, hex(after))  # the caller's setting is kept
    for name, got in results.items():
        print(name, got == results["default"])

    # An item whose conversion runs code that leaves a directed rounding mode:
    # the exact floats after it in the same list narrow as in the default mode.
    class Switch:
        def __float__(self):
            helper.velk_test_set_mxcsr(0x5F80)
            return -0.0  # adds -0.0 to the dot product, which keeps the sign of a zero score

    def narrowed_after_switch(x):
        scale = max(-63, min(63, math.frexp(x)[1] + 12))
        big = math.ldexp(1.0, scale)
        try:
            (_, score), = _velk.top_k_flat([Switch(), x, big], [0.0, 1.0], 2, 1)
        finally:
            helper.velk_test_set_mxcsr(default)
        return math.ldexp(score, scale)

    switched = [struct.pack("<d", narrowed_after_switch(x)) for x in ties]
    print("switched mid-list", switched == results["default"][: len(ties)])
"""


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="MXCSR is x86 only")
def test_scores_do_not_depend_on_the_callers_floating_point_environment(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the MXCSR helper")
    source = tmp_path / "mxcsr.c"
    source.write_text(MXCSR_HELPER)
    library = tmp_path / "libmxcsr.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source)], check=True)
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ENVIRONMENT_SCRIPT), str(library)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"{name} True" for name in ["default", "upward", "downward", "toward zero", "ftz daz", "switched mid-list"]
    ]
