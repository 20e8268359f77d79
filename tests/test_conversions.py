"""Python values to float vectors, rows and counts, and results back: what is
accepted, what is refused with which message, and the odd corners."""

import array
import collections
import decimal
import fractions
import math

import numpy as np
import pytest

import _velk

from conftest import bits, ref_cosine

cosine_similarity, top_k, top_k_flat = _velk.cosine_similarity, _velk.top_k, _velk.top_k_flat


class GetItemOnly:
    """A sequence known only through __getitem__ (iterated until IndexError)."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class LyingLength(GetItemOnly):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Outer:
    class Inner:
        pass


ONE_TWO = cosine_similarity([1.0, 2.0], [1.0, 3.0])


@pytest.mark.parametrize(
    "sequence",
    [
        (1, 2),
        range(1, 3),
        array.array("f", [1, 2]),
        array.array("d", [1, 2]),
        array.array("b", [1, 2]),
        b"\x01\x02",
        bytearray(b"\x01\x02"),
        memoryview(b"\x01\x02"),
        collections.deque([1, 2]),
        np.array([1, 2], np.float32),
        np.array([1, 2], np.int64),
        [np.float32(1), np.float64(2)],
        [True, 2],
        [Index(1), Float(2.0)],
        [decimal.Decimal(1), fractions.Fraction(4, 2)],
        GetItemOnly([1.0, 2.0]),
    ],
    ids=repr,
)
def test_accepted_vectors(sequence):
    assert cosine_similarity(sequence, [1.0, 3.0]) == ONE_TWO
    assert top_k_flat(sequence, [1.0, 3.0], 2, 1) == [(0, ONE_TWO)]
    assert top_k([1.0, 3.0], [sequence], 1) == [(0, cosine_similarity([1.0, 3.0], [1.0, 2.0]))]


@pytest.mark.parametrize(
    "value, type_name",
    [
        ({1.0, 2.0}, "set"),
        (frozenset([1.0]), "frozenset"),
        ({1: 1.0}, "dict"),
        ({1: 1.0}.keys(), "dict_keys"),
        ((x for x in [1.0]), "generator"),
        (iter([1.0]), "list_iterator"),
        (None, "NoneType"),
        (5, "int"),
        (2.5, "float"),
        (Outer.Inner(), "Outer.Inner"),  # the qualified name
    ],
)
def test_non_sequences_are_refused(value, type_name):
    message = f"'{type_name}' object cannot be converted to 'Sequence'"
    for call, name in [
        (lambda: cosine_similarity(value, [1.0]), "a"),
        (lambda: cosine_similarity([1.0], value), "b"),
        (lambda: top_k(value, [[1.0]], 1), "query"),
        (lambda: top_k([1.0], value, 1), "embeddings"),
        (lambda: top_k([1.0], [[1.0], value], 1), "embeddings"),  # a row
        (lambda: top_k_flat([1.0], value, 1, 1), "embeddings"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{name}': {message}"


class Text(str):
    pass


@pytest.mark.parametrize("text", ["ab", "", Text("12")])
def test_strings_are_refused_whole_and_as_rows(text):
    cases = [
        (lambda: cosine_similarity(text, [1.0]), "a"),
        (lambda: top_k(text, [[1.0]], 1), "query"),
        (lambda: top_k([1.0], text, 1), "embeddings"),
        (lambda: top_k([1.0], [[1.0], text], 1), "embeddings"),
        (lambda: top_k_flat([1.0], text, 1, 1), "embeddings"),
    ]
    for call, name in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument '{name}': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cosine_similarity(["a"], [1.0]), "argument 'a': must be real number, not str"),
        (lambda: cosine_similarity([1.0], [1.0, None]), "argument 'b': must be real number, not NoneType"),
        (lambda: top_k_flat([1.0], [[1.0]], 1, 1), "argument 'embeddings': must be real number, not list"),
        (lambda: top_k([1.0], [[1.0], [object()]], 1), "argument 'embeddings': must be real number, not object"),
        (lambda: top_k([[1.0]], [[1.0]], 1), "argument 'query': must be real number, not list"),
        (lambda: cosine_similarity([Float("1")], [1.0]), "argument 'a': Float.__float__ returned non-float (type str)"),
    ],
)
def test_elements_that_are_not_numbers(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message


def test_int_too_large_for_a_double_is_an_unprefixed_overflow():
    with pytest.raises(OverflowError) as info:
        cosine_similarity([10**400], [1.0])
    assert type(info.value) is OverflowError
    assert str(info.value) == "int too large to convert to float"


@pytest.mark.parametrize("minus_one", [-1.0, -1, Float(-1.0), np.float64(-1.0), np.float32(-1.0), Index(-1), False - 1])
def test_minus_one_is_a_value_not_a_failure(minus_one):
    assert cosine_similarity([minus_one], [1.0]) == -1.0


class StubbornFloat(float):
    def __float__(self):
        raise AssertionError("a float subclass is read directly")


def test_float_subclass_is_read_without_calling_float():
    assert cosine_similarity([StubbornFloat(3.0)], [3.0]) == 1.0


@pytest.mark.parametrize(
    "x",
    [
        1 + 2**-24,
        1 + 3 * 2**-24,
        1 - 2**-25,
        16777217,
        2**100,
        3.4028235677973366e38,
        3.4028236e38,
        1e39,
        -1e39,
        1e-46,
        8e-46,
        1.5e-45,
        2**-149 * 1.5,
    ],
)
def test_narrowing_rounds_to_nearest_even(x):
    # [x, -1] . [1, 1] is exactly x - 1 after narrowing, so a wrong rounding of x
    # changes the score.
    assert bits(cosine_similarity([x, -1.0], [1.0, 1.0])) == bits(ref_cosine([x, -1.0], [1.0, 1.0]))


def narrowed(x):
    """The float32 that the module makes of x, read back exactly. With the query
    [x, big], one row [1.0] and dim 1, the score is x / big: big is a power of two
    so much larger than x that x * x vanishes beside big * big."""
    scale = max(-63, min(63, math.frexp(x)[1] + 12))
    big = math.ldexp(1.0, scale)
    ((_, score),) = top_k_flat([x, big], [1.0], 1, 1)
    return math.ldexp(score, scale)


def _narrowing_inputs():
    rng = np.random.default_rng(11)
    values = [math.ldexp(rng.uniform(0.5, 1.0), int(e)) * rng.choice([-1, 1]) for e in rng.integers(-170, 51, 3000)]
    floats = rng.standard_normal(600).astype(np.float32) * np.float32(2.0) ** rng.integers(-149, 50, 600).astype(
        np.float32
    )
    for f in floats.tolist():
        half_ulp = (np.nextafter(np.float32(f), np.float32(np.inf)) - np.float32(f)).item() / 2
        tie = f + half_ulp  # exact in double
        values += [tie, math.nextafter(tie, math.inf), math.nextafter(tie, -math.inf)]
    return [v for v in values if v != 0.0 and abs(v) < 2.0**51]


def test_narrowing_matches_ieee_round_to_nearest_even():
    mismatches = [
        (x, narrowed(x), float(np.float32(x))) for x in _narrowing_inputs() if bits(narrowed(x)) != bits(np.float32(x))
    ]
    assert mismatches == []


def test_halfway_cases_round_to_even():
    assert cosine_similarity([1 + 2**-24, -1.0], [1.0, 1.0]) == 0.0  # down to 1.0
    assert cosine_similarity([1 + 3 * 2**-24, -1.0], [1.0, 1.0]) > 0.0  # up to 1 + 2**-22


def test_zero_keeps_its_sign():
    assert bits(cosine_similarity([-0.0, -1.0], [1.0, 0.0])) == bits(-0.0)
    assert bits(cosine_similarity([0.0, -1.0], [1.0, 0.0])) == bits(0.0)


# Reserving more than the largest single allocation (just under 2**63 bytes) is
# a size overflow, a panic; a hint that merely cannot be satisfied, or that
# len() cannot even report, changes nothing.
@pytest.mark.parametrize(
    "length, vector_panics, rows_panic",
    [
        (RuntimeError("len fails"), False, False),
        (TypeError("len fails"), False, False),
        (0, False, False),
        (1, False, False),
        (10, False, False),
        (2**31, False, False),
        (2**50, False, False),
        (2**61 - 1, False, True),
        (2**61, True, True),
        (2**63 - 1, True, True),
        (2**64, False, False),  # len() itself overflows
    ],
    ids=repr,
)
def test_length_hint_only_sizes_the_reservation(length, vector_panics, rows_panic):
    items = [1.0, 2.0, 2.0]
    for call, panics, expected in [
        (lambda: cosine_similarity(LyingLength(items, length), items), vector_panics, cosine_similarity(items, items)),
        (lambda: top_k([1.0], LyingLength([[1.0], [2.0]], length), 5), rows_panic, [(0, 1.0), (1, 1.0)]),
    ]:
        if panics:
            with pytest.raises(BaseException, match="^capacity overflow$") as info:
                call()
            assert type(info.value).__name__ == "PanicException"
        else:
            assert call() == expected


def test_lists_changed_during_conversion_are_read_as_their_iterator_sees_them():
    class Grows:
        def __init__(self, target, action):
            self.target, self.action = target, action

        def __float__(self):
            self.action(self.target)
            return 1.0

    a = []
    a.extend([Grows(a, lambda t: t.append(2.0)), 2.0])
    assert cosine_similarity(a, [1.0, 2.0, 2.0]) == cosine_similarity([1.0, 2.0, 2.0], [1.0, 2.0, 2.0])
    b = []
    b.extend([Grows(b, list.clear), 5.0, 6.0])
    assert cosine_similarity(b, [1.0]) == 1.0


class FailingIteration:
    def __init__(self, exception, after):
        self.exception, self.after = exception, after

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= self.after:
            raise self.exception
        return 1.0


@pytest.mark.parametrize("after", [0, 2])
def test_iteration_errors(after):
    value_error = ValueError("broken sequence")
    with pytest.raises(ValueError) as info:
        cosine_similarity(FailingIteration(value_error, after), [1.0])
    assert info.value is value_error
    with pytest.raises(TypeError) as info:
        top_k([1.0], [[1.0], FailingIteration(TypeError("broken row"), after)], 1)
    assert str(info.value) == "argument 'embeddings': broken row"


def test_empty_inputs_convert():
    assert cosine_similarity([], []) == 0.0
    assert top_k([], [], 3) == []
    assert top_k([1.0], [[], ()], 3) == [(0, 0.0), (1, 0.0)]


ROWS = [[1.0], [2.0], [3.0], [4.0], [5.0]]


@pytest.mark.parametrize(
    "count, expected",
    [
        (True, 1),
        (False, 0),
        (np.int64(3), 3),
        (np.uint8(2), 2),
        (np.uint64(2**64 - 1), 5),
        (Index(4), 4),
        (2**64 - 1, 5),
        (2**63, 5),
    ],
    ids=repr,
)
def test_counts(count, expected):
    assert len(top_k([1.0], ROWS, count)) == expected
    assert len(top_k_flat([1.0], [1.0, 2.0, 3.0, 4.0, 5.0], 1, count)) == expected


class IntWithBrokenIndex(int):
    def __index__(self):
        raise AssertionError("an int is read directly")


def test_int_subclass_count_is_read_without_index():
    assert len(top_k([1.0], ROWS, IntWithBrokenIndex(2))) == 2
    assert top_k_flat([1.0], [1.0, 0.0], IntWithBrokenIndex(2), 1) == [(0, 1.0)]


@pytest.mark.parametrize("count", [-1, 2**64, 2**200, -(2**64), np.int64(-1), Index(-3), Index(2**64)], ids=repr)
def test_counts_out_of_range_are_unprefixed_overflow_errors(count):
    for call in (
        lambda: top_k([1.0], ROWS, count),
        lambda: top_k_flat([1.0], [1.0], count, 1),
        lambda: top_k_flat([1.0], [1.0], 1, count),
    ):
        with pytest.raises(OverflowError) as info:
            call()
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "count, text",
    [
        (2.0, "'float' object cannot be interpreted as an integer"),
        ("3", "'str' object cannot be interpreted as an integer"),
        (np.float64(2.0), "'numpy.float64' object cannot be interpreted as an integer"),
        (Index(2.0), "__index__ returned non-int (type float)"),
    ],
)
def test_non_integer_counts_are_prefixed_type_errors(count, text):
    with pytest.raises(TypeError) as info:
        top_k([1.0], ROWS, count)
    assert str(info.value) == f"argument 'k': {text}"
    with pytest.raises(TypeError) as info:
        top_k_flat([1.0], [1.0], count, 1)
    assert str(info.value) == f"argument 'dim': {text}"


def test_index_errors_pass_unchanged():
    error = LookupError("no index")
    with pytest.raises(LookupError) as info:
        top_k([1.0], ROWS, Index(error))
    assert info.value is error


def test_results_are_new_lists_of_int_float_tuples():
    first = top_k_flat([1.0, 0.0], [0.0, 1.0, 1.0, 1.0, 1.0, 0.0], 2, 5)
    second = top_k_flat([1.0, 0.0], [0.0, 1.0, 1.0, 1.0, 1.0, 0.0], 2, 5)
    assert first == second and first is not second
    assert first == [(2, 1.0), (1, 0.7071067690849304), (0, 0.0)]
    assert all(type(hit) is tuple and type(hit[0]) is int and type(hit[1]) is float for hit in first)
    assert type(cosine_similarity([1.0], [1.0])) is float
