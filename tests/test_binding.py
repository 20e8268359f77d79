"""Argument binding: every TypeError message, keyword rules, the order in which
arguments are converted, and the argument prefix on conversion errors."""

import sys

import numpy as np
import pytest

import _velk

from conftest import PanicException

cosine_similarity, top_k, top_k_flat, top_k_flat_np = (
    _velk.cosine_similarity,
    _velk.top_k,
    _velk.top_k_flat,
    _velk.top_k_flat_np,
)


def raises_exactly(exception_type, call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exception_type, repr(info.value)
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cosine_similarity(), "cosine_similarity() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: cosine_similarity([1.0]), "cosine_similarity() missing 1 required positional argument: 'b'"),
        (lambda: cosine_similarity(b=[1.0]), "cosine_similarity() missing 1 required positional argument: 'a'"),
        (lambda: top_k(), "top_k() missing 3 required positional arguments: 'query', 'embeddings', and 'k'"),
        (lambda: top_k([1.0]), "top_k() missing 2 required positional arguments: 'embeddings' and 'k'"),
        (lambda: top_k([1.0], [[1.0]]), "top_k() missing 1 required positional argument: 'k'"),
        (lambda: top_k(embeddings=[[1.0]]), "top_k() missing 2 required positional arguments: 'query' and 'k'"),
        (
            lambda: top_k_flat(k=1),
            "top_k_flat() missing 3 required positional arguments: 'query', 'embeddings', and 'dim'",
        ),
        (
            lambda: top_k_flat_np(),
            "top_k_flat_np() missing 4 required positional arguments: 'query', 'embeddings', 'dim', and 'k'",
        ),
        (
            lambda: top_k_flat_np(None, dim=1),
            "top_k_flat_np() missing 2 required positional arguments: 'embeddings' and 'k'",
        ),
        (
            lambda: cosine_similarity([1.0], [1.0], [1.0]),
            "cosine_similarity() takes 2 positional arguments but 3 were given",
        ),
        # The count is examined before any keyword.
        (lambda: top_k(1, 2, 3, 4, x=5), "top_k() takes 3 positional arguments but 4 were given"),
        (lambda: top_k_flat(1, 2, 3, 4, 5), "top_k_flat() takes 4 positional arguments but 5 were given"),
        (lambda: top_k_flat_np(*range(9)), "top_k_flat_np() takes 4 positional arguments but 9 were given"),
        (lambda: top_k([1.0], [[1.0]], 1, query=[2.0]), "top_k() got multiple values for argument 'query'"),
        (lambda: cosine_similarity([1.0], a=[1.0]), "cosine_similarity() got multiple values for argument 'a'"),
        (lambda: top_k_flat(1, 2, 3, dim=4), "top_k_flat() got multiple values for argument 'dim'"),
        (lambda: top_k(query=[1.0], embeddings=[[1.0]], K=1), "top_k() got an unexpected keyword argument 'K'"),
        # Keywords are examined before missing parameters, in written order.
        (lambda: top_k(x=1), "top_k() got an unexpected keyword argument 'x'"),
        (lambda: top_k(y=1, x=2), "top_k() got an unexpected keyword argument 'y'"),
        (lambda: top_k([1.0], zz=1, query=2), "top_k() got an unexpected keyword argument 'zz'"),
        (lambda: top_k([1.0], query=2, zz=1), "top_k() got multiple values for argument 'query'"),
        (lambda: cosine_similarity(**{"a ": 1}), "cosine_similarity() got an unexpected keyword argument 'a '"),
        # Non-ASCII keywords are passed as string keys: a keyword written in source is NFKC-normalised.
        (lambda: top_k_flat(**{"dím": 1}), "top_k_flat() got an unexpected keyword argument 'dím'"),  # noqa: PIE804
        (
            lambda: top_k_flat_np(**{"k\u0301": 1}),  # noqa: PIE804
            "top_k_flat_np() got an unexpected keyword argument 'k\u0301'",
        ),
        (lambda: top_k(**{"k\x00": 1}), "top_k() got an unexpected keyword argument 'k\x00'"),  # not a C string
        # Caller text is quoted as it is, also where it looks like a field of the message.
        (lambda: top_k(**{"{call}": 1}), "top_k() got an unexpected keyword argument '{call}'"),
        (lambda: top_k(**{"{keyword": 1}), "top_k() got an unexpected keyword argument '{keyword'"),
        # Binding comes before any conversion.
        (lambda: cosine_similarity("ab"), "cosine_similarity() missing 1 required positional argument: 'b'"),
        (lambda: top_k("ab", None, "k", extra=1), "top_k() got an unexpected keyword argument 'extra'"),
    ],
)
def test_binding_messages(call, message):
    error = raises_exactly(TypeError, call)
    assert str(error) == message
    assert error.args == (message,)


class Keyword(str):
    def __str__(self):
        return "shown name"


def test_keyword_names_match_by_content_and_are_reported_by_str():
    assert top_k(**{Keyword("query"): [1.0], "embeddings": [[1.0]], "k": 1}) == [(0, 1.0)]
    error = raises_exactly(TypeError, lambda: top_k(**{Keyword("zz"): 1}))
    assert str(error) == "top_k() got an unexpected keyword argument 'shown name'"
    error = raises_exactly(TypeError, lambda: top_k([1.0], **{Keyword("query"): 1}))
    assert str(error) == "top_k() got multiple values for argument 'query'"


def test_unencodable_keyword_is_reported_with_replacement_characters():
    name = "q\ud800x"
    expected = name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    error = raises_exactly(TypeError, lambda: top_k(**{name: 1}))
    assert str(error) == f"top_k() got an unexpected keyword argument '{expected}'"


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: cosine_similarity(b=[0.0, 1.0], a=[1.0, 0.0]), 0.0),
        (lambda: cosine_similarity([3.0, 4.0], b=[3.0, 4.0]), cosine_similarity([3.0, 4.0], [3.0, 4.0])),
        (lambda: top_k(k=1, embeddings=[[1.0], [2.0]], query=[1.0]), [(0, 1.0)]),
        (lambda: top_k_flat([1.0, 0.0], k=1, dim=2, embeddings=[0.0, 1.0, 1.0, 0.0]), [(1, 1.0)]),
        (
            lambda: top_k_flat_np(k=1, dim=1, embeddings=np.ones(2, np.float32), query=np.ones(1, np.float32)),
            [(0, 1.0)],
        ),
    ],
)
def test_keywords_in_any_order(call, expected):
    assert call() == expected


class Logged:
    """An element, row or count that records when it is converted."""

    def __init__(self, log, name, value=1.0):
        self.log, self.name, self.value = log, name, value

    def __float__(self):
        self.log.append(self.name)
        return float(self.value)

    def __index__(self):
        self.log.append(self.name)
        return int(self.value)


class LoggedBuffer:
    """A float32 exporter that records when its buffer is taken and given back."""

    def __init__(self, log, name, array):
        self.log, self.name, self.array = log, name, array

    def __buffer__(self, flags):
        self.log.append(f"get {self.name}")
        return memoryview(self.array)

    def __release_buffer__(self, view):
        self.log.append(f"release {self.name}")
        view.release()


def test_arguments_convert_in_parameter_order_whatever_the_keyword_order():
    log = []
    top_k(k=Logged(log, "k"), embeddings=[[Logged(log, "row")]], query=[Logged(log, "query")])
    assert log == ["query", "row", "k"]
    log.clear()
    top_k_flat(k=Logged(log, "k"), dim=Logged(log, "dim"), embeddings=[Logged(log, "e")], query=[Logged(log, "q")])
    assert log == ["q", "e", "dim", "k"]


def test_buffers_are_taken_after_the_counts_and_released_embeddings_first():
    log = []
    query = LoggedBuffer(log, "query", np.ones(2, np.float32))
    embeddings = LoggedBuffer(log, "embeddings", np.ones(4, np.float32))
    result = top_k_flat_np(query, embeddings, Logged(log, "dim", 2), Logged(log, "k", 5))
    assert result == [(0, 1.0000001192092896), (1, 1.0000001192092896)]
    assert log == ["dim", "k", "get query", "get embeddings", "release embeddings", "release query"]


def test_a_panic_releases_both_buffers_embeddings_first():
    log = []
    query = LoggedBuffer(log, "query", np.ones(2, np.float32))
    embeddings = LoggedBuffer(log, "embeddings", np.ones(4, np.float32))
    with pytest.raises(BaseException, match="attempt to divide by zero"):
        top_k_flat_np(query, embeddings, 0, 1)
    assert log == ["get query", "get embeddings", "release embeddings", "release query"]


def test_first_failure_stops_conversion():
    log = []
    with pytest.raises(TypeError, match="^argument 'query': "):
        top_k([Logged(log, "q1"), "x", Logged(log, "q2")], [[Logged(log, "row")]], Logged(log, "k"))
    assert log == ["q1"]
    with pytest.raises(TypeError, match="^argument 'k': "):
        top_k([Logged(log, "q")], [[Logged(log, "row")]], 1.5)
    assert log == ["q1", "q", "row"]


@pytest.mark.parametrize(
    "call, exception_type, message",
    [
        (lambda: cosine_similarity("ab", 5), TypeError, "argument 'a': Can't extract `str` to `Vec`"),
        (
            lambda: cosine_similarity([1.0], 5),
            TypeError,
            "argument 'b': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: top_k([1.0], [[1.0]], 1.5),
            TypeError,
            "argument 'k': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: top_k_flat([1.0], [1.0], "2", 1),
            TypeError,
            "argument 'dim': 'str' object cannot be interpreted as an integer",
        ),
        (
            lambda: top_k_flat([1.0], [1.0], 1, None),
            TypeError,
            "argument 'k': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            lambda: top_k_flat_np(object(), object(), 1, 2.5),
            TypeError,
            "argument 'k': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: cosine_similarity([1.0], [RaisesFromFloat(TypeError("{name}: {text}"))]),
            TypeError,
            "argument 'b': {name}: {text}",
        ),
        (
            lambda: cosine_similarity(type("{target}", (), {})(), [1.0]),
            TypeError,
            "argument 'a': '{target}' object cannot be converted to 'Sequence'",
        ),
    ],
)
def test_conversion_errors_carry_the_argument_name(call, exception_type, message):
    assert str(raises_exactly(exception_type, call)) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: top_k_flat([1.0], [1.0], -1, 1.5),  # dim fails before k is looked at
        lambda: top_k_flat_np(object(), object(), -1, 2.5),
        lambda: top_k_flat_np(object(), object(), 1, 2**64),  # counts before buffers
        lambda: top_k([1.0], [[1.0]], -5),
    ],
)
def test_overflow_errors_pass_without_prefix(call):
    error = raises_exactly(OverflowError, call)
    assert not str(error).startswith("argument")


def test_buffer_errors_pass_without_prefix():
    error = raises_exactly(TypeError, lambda: top_k_flat_np(object(), np.ones(2, np.float32), 1, 1))
    assert "object" in str(error) and not str(error).startswith("argument")


class RaisesFromFloat:
    def __init__(self, exception):
        self.exception = exception

    def __float__(self):
        raise self.exception


def test_prefixed_error_keeps_the_cause_and_suppresses_the_context():
    root = ValueError("root cause")
    try:
        raise TypeError("not a number today") from root
    except TypeError as error:
        original = error
    new = raises_exactly(TypeError, lambda: cosine_similarity([1.0], [RaisesFromFloat(original)]))
    assert new is not original
    assert str(new) == "argument 'b': not a number today"
    assert new.args == ("argument 'b': not a number today",)
    assert new.__cause__ is root
    assert new.__suppress_context__ is True


def test_prefixed_error_without_cause():
    new = raises_exactly(TypeError, lambda: top_k([1.0], [[RaisesFromFloat(TypeError("bad row item"))]], 1))
    assert str(new) == "argument 'embeddings': bad row item"
    assert new.__cause__ is None
    assert new.__suppress_context__ is True


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "exception", [TypeErrorSubclass("sub"), ValueError("value"), ZeroDivisionError("zero"), KeyError("key")]
)
def test_other_exception_types_arrive_unchanged(exception):
    with pytest.raises(BaseException) as info:
        top_k_flat([1.0, RaisesFromFloat(exception)], [1.0], 1, 1)
    assert info.value is exception


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text for you")


def test_unprintable_type_error_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: seen.append(unraisable.exc_type))
    new = raises_exactly(TypeError, lambda: cosine_similarity([RaisesFromFloat(TypeError(Unprintable()))], [1.0]))
    assert str(new) == "argument 'a': <unprintable TypeError object>"
    assert seen == [RuntimeError]


def test_conversions_may_call_the_module_again():
    class Reentrant:
        def __float__(self):
            rows = np.ones((5000, 8), np.float32)
            return float(len(top_k_flat_np(np.ones(8, np.float32), rows, 8, 3)) + len(top_k([1.0], [[1.0]], 1)))

    assert top_k_flat([Reentrant(), 0.0], [4.0, 0.0, 0.0, 1.0], 2, 2) == [(0, 1.0), (1, 0.0)]


def test_calls_work_after_every_kind_of_failure():
    for call in (lambda: top_k(), lambda: cosine_similarity("a", "b"), lambda: top_k_flat([1.0], [1.0], 0, 1)):
        with pytest.raises((TypeError, PanicException)):
            call()
        assert cosine_similarity([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]) == 0.9746317863464355
