"""Random calls of the four functions and the oracle that decides each outcome.

A call is built from a source of choices (a seeded `random.Random` inside the
tests, atheris' FuzzedDataProvider under `make fuzz`): random argument
structures (nested sequences, user classes whose `__len__`, `__iter__`,
`__getitem__`, `__float__` or `__index__` lie or raise, numpy arrays of many
dtypes, byte orders, strides and alignments), passed by a random mix of
positions and keywords, sometimes with a binding mistake.

The oracle converts the same objects by the documented rules in pure Python
(using the interpreter's own `PySequence_Check` and `PyFloat_AsDouble` through
ctypes, so element conversion is judged by the very call the module makes),
then scores with the slow float32 model of conftest.py. A call passes only if
it returns exactly the modelled value, bit for bit, or raises exactly the
modelled exception with the modelled message.
"""

from __future__ import annotations

import array
import ctypes
import operator
import pickle
import struct
import sys
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _velk

from conftest import ref_cosine, ref_top_k, ref_top_k_flat, to_f32

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double

_sequence_size = ctypes.pythonapi.PySequence_Size
_sequence_size.argtypes = [ctypes.py_object]
_sequence_size.restype = ctypes.c_ssize_t
FLOAT_VECTOR_SIZE = 24  # one owned row: pointer, end and capacity

STR_TO_VEC = "Can't extract `str` to `Vec`"
SIGNATURES = {
    "cosine_similarity": ("a", "b"),
    "top_k": ("query", "embeddings", "k"),
    "top_k_flat": ("query", "embeddings", "dim", "k"),
    "top_k_flat_np": ("query", "embeddings", "dim", "k"),
}
NATIVE_F32_FORMATS = {"f", "@f", "=f", "<f"}


def panic_exception_class() -> type:
    try:
        _velk.top_k_flat([], [], 0, 0)
    except BaseException as error:  # noqa: BLE001 - the panic class is not an Exception
        return type(error)
    raise AssertionError("dim = 0 did not panic")


PanicException = panic_exception_class()


# --- sources of choices -------------------------------------------------------------------------


class RandomSource:
    def __init__(self, rng):
        self.rng = rng

    def integer(self, low: int, high: int) -> int:
        return self.rng.randint(low, high)

    def real(self) -> float:
        return self.rng.uniform(-4.0, 4.0)


class FuzzedSource:
    """Adapts atheris.FuzzedDataProvider; an exhausted input keeps giving the low end."""

    def __init__(self, provider):
        self.provider = provider

    def integer(self, low: int, high: int) -> int:
        return self.provider.ConsumeIntInRange(low, high)

    def real(self) -> float:
        return self.provider.ConsumeRegularFloat()


def pick(source, options):
    return options[source.integer(0, len(options) - 1)]


# --- hostile user classes -----------------------------------------------------------------------


class CustomError(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


class IndexSequence:
    """Indexing protocol only; __len__ may lie about the count or raise."""

    def __init__(self, items, length=None, length_error=None):
        self.items = items
        self.length = length
        self.length_error = length_error

    def __len__(self):
        if self.length_error is not None:
            raise self.length_error("__len__ refuses")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]


class IteratingSequence(IndexSequence):
    """A sequence that also defines __iter__, which may raise part-way."""

    def __init__(self, items, fail_at=None, error=CustomError, **kwargs):
        super().__init__(items, **kwargs)
        self.fail_at = fail_at
        self.error = error

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise self.error(f"iteration stops at {i}")
            yield item


class NonIteratorSequence(IndexSequence):
    def __iter__(self):
        return 42


class Floaty:
    """An element with __float__ that returns, raises, or returns a non-float."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, type):
            raise self.outcome("__float__ refuses")
        return self.outcome


class Indexy:
    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        if isinstance(self.outcome, type):
            raise self.outcome("__index__ refuses")
        return self.outcome


class Reentrant:
    """An element or count whose conversion calls the module again, on the worker pool too."""

    rows = np.ones((20_000, 4), np.float32)

    def __init__(self, value):
        self.value = value

    def __float__(self):
        _velk.top_k_flat_np(self.rows[0], self.rows, 4, 2)
        return float(self.value)

    def __index__(self):
        _velk.top_k([1.0], [[1.0], [2.0]], 1)
        return self.value


class IntWithIndex(int):
    # An int subclass is read as an int: its own __index__ must not be called.
    def __index__(self):
        raise AssertionError("__index__ of an int subclass was consulted")


class StrSubclass(str):
    pass


# --- argument generators --------------------------------------------------------------------------

SPECIAL_FLOATS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    float("inf"),
    float("-inf"),
    float("nan"),
    -float("nan"),
    1e-30,
    1e-45,
    1.4e-45,
    3.4028235e38,
    3.5e38,
    1e39,
    1e20,
    2e19,
    0.1,
    1e8,
    5e-324,
    1.0000001,
]


def number(source):
    kind = source.integer(0, 9)
    if kind <= 3:
        return round(source.real(), source.integer(0, 3)) if kind == 0 else source.real()
    if kind == 4:
        return pick(source, SPECIAL_FLOATS)
    if kind == 5:
        return source.integer(-5, 5)
    if kind == 6:
        return pick(source, [True, False, 2**63, 2**64 + 1, -(2**70), 10**400])
    if kind == 7:
        return pick(
            source,
            [np.float32(source.real()), np.float64(-2.5), np.int64(7), np.float16(0.5), np.uint8(200), np.bool_(True)],
        )
    if kind == 8:
        return pick(
            source,
            [
                Fraction(1, 3),
                Floaty(source.real()),
                Floaty(ValueError),
                Floaty(TypeError),
                Floaty(TypeErrorSubclass),
                Floaty(7),
                Indexy(3),
                Indexy(CustomError),
                Reentrant(2),
            ],
        )
    return pick(source, ["1.0", None, b"2", 1j, [1.0], object()])


def numbers(source, length=None, mostly_valid=True):
    if length is None:
        length = source.integer(0, 8)
    return [source.real() if mostly_valid and source.integer(0, 14) else number(source) for _ in range(length)]


def vector(source, numeric=None):
    """Any object the list functions might be given as a vector."""
    values = numbers(source) if numeric is None else numeric
    kind = source.integer(0, 19)
    if kind <= 5:
        return values
    if kind == 6:
        return tuple(values)
    if kind == 7:
        return IndexSequence(
            values,
            length=pick(source, [None, 0, 1, 2**60, sys.maxsize // 8]),
            length_error=pick(source, [None, None, ValueError, TypeError]),
        )
    if kind == 8:
        return IteratingSequence(
            values,
            fail_at=pick(source, [None, 0, 2, 5]),
            error=pick(source, [CustomError, TypeError, TypeErrorSubclass, StopIteration]),
        )
    if kind == 9:
        return pick(
            source,
            [
                range(source.integer(0, 6)),
                b"\x01\x02\x00",
                bytearray(b"\x03\x04"),
                array.array("f", [1.0, 2.5]),
                array.array("d", [0.5, -1.0, 2.0]),
                array.array("i", [1, -2, 3]),
                memoryview(b"\x05\x06"),
            ],
        )
    if kind <= 13:
        return numpy_array(source, np.array([source.real() for _ in range(source.integer(0, 6))]))
    if kind == 14:
        return pick(
            source,
            ["ab", StrSubclass("x"), "", {1.0, 2.0}, {1: 2.0}, None, 3.0, 7, (x for x in [1.0]), iter([1.0]), object()],
        )
    if kind == 15:
        return NonIteratorSequence(values)
    if kind == 16:
        return np.array(source.real(), dtype=pick(source, [np.float32, np.float64]))  # 0-d: iteration raises
    return values


def numpy_array(source, values, dtypes=None):
    """values laid out with a random dtype, byte order, stride, shape, alignment and write flag."""
    dtype = pick(source, dtypes or ["<f4", "<f4", "<f4", ">f4", "<f8", "<f2", "<i4", "<u8", "|i1", "?", "O"])
    with np.errstate(all="ignore"):
        array_ = np.asarray(values).astype(dtype)
    shape_kind = source.integer(0, 5)
    if shape_kind == 1 and array_.size:
        array_ = np.repeat(array_, 2)[::2]  # strided, same values
    elif shape_kind == 2:
        array_ = array_[::-1]
    elif shape_kind == 3 and array_.size % 2 == 0 and array_.size:
        array_ = array_.reshape(2, -1)
    elif shape_kind == 4 and array_.dtype.kind != "O":
        offset = source.integer(1, 3)  # same values at an odd address
        raw = np.zeros(array_.nbytes + offset, dtype=np.uint8)
        moved = raw[offset:].view(array_.dtype).reshape(array_.shape)
        moved[...] = array_
        array_ = moved
    elif shape_kind == 5 and array_.size % 2 == 0 and array_.size:
        array_ = array_.reshape(-1, 2).T  # 2-D and not C-contiguous
    if source.integer(0, 3) == 0 and array_.dtype.kind != "O":
        array_.flags.writeable = False
    return array_


def rows(source):
    kind = source.integer(0, 9)
    if kind <= 5:
        return [
            vector(source) if source.integer(0, 4) == 0 else numbers(source, source.integer(0, 5))
            for _ in range(source.integer(0, 6))
        ]
    if kind == 6:
        return tuple(numbers(source, source.integer(0, 4)) for _ in range(source.integer(0, 4)))
    if kind == 7:
        return numpy_array(
            source,
            np.array([[source.real() for _ in range(3)] for _ in range(source.integer(0, 4))]),
            ["<f4", "<f8", ">f4"],
        )
    if kind == 8:
        return IndexSequence(
            [numbers(source, 2) for _ in range(source.integer(0, 3))], length=pick(source, [None, 2**60, 0])
        )
    return vector(source)


def count(source, dimension=False):
    kind = source.integer(0, 9)
    if kind <= 5:
        return source.integer(0 if not dimension or kind == 0 else 1, 6)
    if kind == 6:
        return pick(source, [2**64 - 1, 2**63, 2**64, -1, -(2**70), True, False])
    if kind == 7:
        return pick(
            source,
            [
                np.int64(2),
                np.uint64(3),
                np.int8(-1),
                IntWithIndex(2),
                Indexy(4),
                Indexy(-3),
                Indexy(CustomError),
                Indexy(TypeError),
                Reentrant(3),
            ],
        )
    return pick(source, [2.0, "3", None, Fraction(2, 1), np.float32(1.0), [1]])


def buffer_argument(source, length):
    values = np.array([source.real() if source.integer(0, 7) else pick(source, SPECIAL_FLOATS) for _ in range(length)])
    kind = source.integer(0, 9)
    if kind <= 5:
        return numpy_array(source, values, ["<f4", "<f4", "<f4", "<f4", ">f4", "<f8", "<f2", "<i4"])
    if kind == 6:
        return array.array("f", values.tolist())
    if kind == 7:
        with np.errstate(all="ignore"):
            return memoryview(bytearray(values.astype("<f4").tobytes())).cast("f")
    if kind == 8:
        with np.errstate(all="ignore"):
            return np.array(values[0] if length else 1.0, dtype=np.float32)  # 0-d
    if kind == 9 and length and source.integer(0, 1):
        # Exporters that give no strides, and one that forwards another's export.
        with np.errstate(all="ignore"):
            narrowed = values.astype(np.float32)
        return pick(
            source,
            [
                (ctypes.c_float * length)(*narrowed.tolist()),
                (ctypes.c_double * length)(),
                pickle.PickleBuffer(narrowed),
            ],
        )
    return pick(source, [b"\x00\x00\x80?", bytearray(8), values.tolist(), None, "abc", 3])


@dataclass
class Call:
    function: str
    args: tuple
    kwargs: dict
    values: dict  # parameter name -> argument object, as it will be bound when binding succeeds
    binding_error: str | None


def make_call(source) -> Call:
    function = pick(source, list(SIGNATURES))
    names = SIGNATURES[function]
    values = {}
    if function == "cosine_similarity":
        length = source.integer(0, 8)
        values["a"] = vector(source, numbers(source, length))
        values["b"] = vector(source, numbers(source, length if source.integer(0, 2) else source.integer(0, 8)))
    elif function == "top_k":
        values["query"] = vector(source)
        values["embeddings"] = rows(source)
        values["k"] = count(source)
    else:
        dim = count(source, dimension=True)
        width = dim if isinstance(dim, int) and 0 < dim < 8 else 3
        row_count = source.integer(0, 6)
        length = width * row_count + source.integer(0, 2) * source.integer(0, width)
        query_length = width if source.integer(0, 3) else source.integer(0, 8)
        if function == "top_k_flat":
            values["query"] = vector(source, numbers(source, query_length))
            values["embeddings"] = vector(source, numbers(source, length))
        else:
            values["query"] = buffer_argument(source, query_length)
            values["embeddings"] = values["query"] if source.integer(0, 15) == 0 else buffer_argument(source, length)
        values["dim"] = dim
        values["k"] = count(source)
    return arrange(source, function, names, values)


def arrange(source, function, names, values) -> Call:
    """Splits the arguments into positions and keywords, sometimes with a binding mistake."""
    positional_count = source.integer(0, len(names))
    keyword_names = list(names[positional_count:])
    for i in range(len(keyword_names) - 1, 0, -1):  # shuffle with the source's choices
        j = source.integer(0, i)
        keyword_names[i], keyword_names[j] = keyword_names[j], keyword_names[i]
    args = [values[name] for name in names[:positional_count]]
    kwargs = {name: values[name] for name in keyword_names}
    mistake = source.integer(0, 24)
    call_name = f"{function}()"
    error = None
    if mistake == 0:
        args = [values[name] for name in names] + [1.0]
        kwargs = {"zz": 1} if source.integer(0, 1) else {}
        error = f"{call_name} takes {len(names)} positional arguments but {len(args)} were given"
    elif mistake == 1 and keyword_names:
        kwargs = dict(kwargs)
        wrong = pick(source, ["K", "dims", "zz", "query ", "Query", "a\udcff"])
        kwargs = {wrong: 1, **kwargs} if source.integer(0, 1) else {**kwargs, wrong: 1}
        error = unexpected_or_first_error(call_name, names, positional_count, list(kwargs))
    elif mistake == 2 and positional_count:
        duplicate = names[source.integer(0, positional_count - 1)]
        kwargs = {**kwargs, duplicate: values[duplicate]}
        error = unexpected_or_first_error(call_name, names, positional_count, list(kwargs))
    elif mistake == 3:
        dropped = names[source.integer(0, len(names) - 1)]
        if dropped in kwargs:
            del kwargs[dropped]
        else:
            args = args[: names.index(dropped)]
        error = unexpected_or_first_error(call_name, names, len(args), list(kwargs))
    return Call(function, tuple(args), kwargs, values, error)


def quote_names(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def unexpected_or_first_error(call_name, names, nargs, keywords):
    """Binding as documented: keywords in written order, then missing positional parameters."""
    filled = set(names[:nargs])
    for keyword in keywords:
        if keyword not in names:
            shown = keyword.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
            return f"{call_name} got an unexpected keyword argument '{shown}'"
        if keyword in filled:
            return f"{call_name} got multiple values for argument '{keyword}'"
        filled.add(keyword)
    missing = [name for name in names if name not in filled]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        return f"{call_name} missing {len(missing)} required positional {noun}: {quote_names(missing)}"
    return None


# --- the oracle ----------------------------------------------------------------------------------


def model_float32(item):
    value = item if type(item) is float else _as_double(item)
    return to_f32(value)


def check_length_hint(obj, item_size):
    """The length hint only sizes a reservation, but one beyond any possible allocation is a panic."""
    try:
        hint = _sequence_size(obj)
    except Exception:  # noqa: BLE001 - a failing __len__ is ignored
        return
    if hint > (2**63 - 1) // item_size:
        raise PanicException("capacity overflow")


def model_sequence(obj):
    if not _sequence_check(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    check_length_hint(obj, 4)
    return [model_float32(item) for item in iter(obj)]


def model_vector(obj):
    if isinstance(obj, str):
        raise TypeError(STR_TO_VEC)
    return model_sequence(obj)


def model_rows(obj):
    if isinstance(obj, str):
        raise TypeError(STR_TO_VEC)
    if not _sequence_check(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    check_length_hint(obj, FLOAT_VECTOR_SIZE)
    converted = []
    for item in iter(obj):
        if isinstance(item, str):
            raise TypeError(STR_TO_VEC)
        converted.append(model_sequence(item))
    return converted


def model_count(obj):
    value = int.__index__(obj) if isinstance(obj, int) else operator.index(obj)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value >= 2**64:
        raise OverflowError("int too big to convert")
    return value


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]
_release_buffer.restype = None
_is_contiguous = ctypes.pythonapi.PyBuffer_IsContiguous
_is_contiguous.argtypes = [ctypes.POINTER(PyBuffer), ctypes.c_char]
_is_contiguous.restype = ctypes.c_int
PyBUF_FULL_RO = 0x11C


def model_buffer(obj):
    """The export exactly as the module requests it, judged field by field."""
    view = PyBuffer()
    _get_buffer(obj, ctypes.byref(view), PyBUF_FULL_RO)  # raises what the exporter raised
    try:
        if not view.shape:
            raise BufferError("shape is null")
        if not view.strides:
            raise BufferError("strides is null")
        text = view.format.decode() if view.format is not None else "B"
        if view.itemsize != 4 or text not in NATIVE_F32_FORMATS:
            raise BufferError("buffer contents are not compatible with f32")
        if (view.buf or 0) % 4:
            raise BufferError("buffer contents are insufficiently aligned for f32")
        if not _is_contiguous(ctypes.byref(view), b"C"):
            raise NonContiguous()
        data = ctypes.string_at(view.buf, view.len) if view.len else b""
        return list(np.frombuffer(data, dtype="<f4"))
    finally:
        _release_buffer(ctypes.byref(view))


class NonContiguous(BufferError):
    """The module refuses strided exports; only the start of its message is fixed."""


class Expected:
    def __init__(self, value=None, error=None):
        self.value = value
        self.error = error


def annotated(name, error):
    if type(error) is TypeError:
        return TypeError(f"argument '{name}': {error}")
    return error


def expected_outcome(call: Call) -> Expected:
    if call.binding_error is not None:
        return Expected(error=TypeError(call.binding_error))
    values = call.values
    converted = {}
    try:
        if call.function == "top_k_flat_np":
            for name in ("dim", "k"):
                try:
                    converted[name] = model_count(values[name])
                except BaseException as error:  # noqa: BLE001 - a panic is no Exception
                    raise annotated(name, error) from None
            query = model_buffer(values["query"])
            embeddings = model_buffer(values["embeddings"])
            converted.update(query=query, embeddings=embeddings)
        else:
            converters = {
                "a": model_vector,
                "b": model_vector,
                "query": model_vector,
                "k": model_count,
                "dim": model_count,
                "embeddings": model_rows if call.function == "top_k" else model_vector,
            }
            for name in SIGNATURES[call.function]:
                try:
                    converted[name] = converters[name](values[name])
                except BaseException as error:  # noqa: BLE001 - a panic is no Exception
                    raise annotated(name, error) from None
    except BaseException as error:  # noqa: BLE001
        return Expected(error=error)

    if call.function == "cosine_similarity":
        return Expected(value=float(ref_cosine(converted["a"], converted["b"])))
    if call.function == "top_k":
        return Expected(value=ref_top_k(converted["query"], converted["embeddings"], converted["k"]))
    if converted["dim"] == 0:
        return Expected(error=PanicException("attempt to divide by zero"))
    return Expected(value=ref_top_k_flat(converted["query"], converted["embeddings"], converted["dim"], converted["k"]))


def double_bits(value: float) -> bytes:
    return struct.pack("<d", value)


def hit_pairs(result):
    assert type(result) is list, f"result is {type(result).__name__}"
    pairs = []
    for hit in result:
        assert type(hit) is tuple and len(hit) == 2 and type(hit[0]) is int and type(hit[1]) is float, hit
        pairs.append((hit[0], struct.unpack("<I", struct.pack("<f", hit[1]))[0]))
        # The score is a widened float32: narrowing and widening again changes nothing.
        assert double_bits(float(np.float32(hit[1]))) == double_bits(hit[1]), hit
    return pairs


def check_call(call: Call) -> str:
    """Runs one call against the oracle; returns the outcome kind, raises AssertionError on a mismatch."""
    expected = expected_outcome(call)
    function = getattr(_velk, call.function)
    try:
        result = function(*call.args, **call.kwargs)
    except BaseException as error:  # PanicException derives from BaseException
        if isinstance(error, KeyboardInterrupt):
            raise
        if expected.error is None:
            raise AssertionError(f"{describe(call)} raised {error!r}, expected {expected.value!r}") from error
        check_error(call, error, expected.error)
        return "error:" + type(error).__name__
    if expected.error is not None:
        raise AssertionError(f"{describe(call)} returned {result!r}, expected {expected.error!r}")
    if call.function == "cosine_similarity":
        assert type(result) is float, describe(call)
        assert double_bits(result) == double_bits(expected.value), (describe(call), result, expected.value)
    else:
        assert hit_pairs(result) == expected.value, (describe(call), result, expected.value)
    return "value"


def check_error(call, error, wanted):
    if isinstance(wanted, NonContiguous):
        assert type(error) is BufferError and str(error).startswith("buffer is not C-contiguous"), (
            describe(call),
            error,
        )
        return
    assert type(error) is type(wanted), (describe(call), repr(error), repr(wanted))
    assert str(error) == str(wanted), (describe(call), str(error), str(wanted))


def describe(call: Call) -> str:
    def shown(value):
        if isinstance(value, np.ndarray):
            return (
                f"ndarray(dtype={value.dtype.str}, shape={value.shape}, strides={value.strides}, "
                f"writeable={value.flags.writeable}, {value.tolist()!r})"
            )
        if isinstance(value, IndexSequence):
            return f"{type(value).__name__}({value.items!r}, length={value.length})"
        return repr(value)

    args = ", ".join(shown(a) for a in call.args)
    kwargs = ", ".join(f"{k}={shown(v)}" for k, v in call.kwargs.items())
    return f"{call.function}({args}{', ' if args and kwargs else ''}{kwargs})"


def run_random(seed: int, count: int) -> dict:
    """Checks `count` random calls; returns how many ended in each kind of outcome."""
    import random

    source = RandomSource(random.Random(seed))
    outcomes: dict = {}
    for _ in range(count):
        kind = check_call(make_call(source))
        outcomes[kind] = outcomes.get(kind, 0) + 1
    return outcomes
