"""README.md promises exact results and exact messages; hold it to them."""

import array
import pathlib
import re

import numpy as np
import pytest

import _velk
import velk

README = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
NAMESPACE = {"_velk": _velk, "velk": velk, "np": np, "numpy": np, "array": array, "nan": float("nan")}


def code_lines_with_results():
    """`_velk.f(...)  # <repr of the result> ...` lines (and `result.x...` lines after a
    `result = velk.search(...)`) from the python code blocks."""
    for block in re.findall(r"```python\n(.*?)```", README, re.S):
        for line in block.splitlines():
            call, _, comment = line.partition("  #")
            if call.startswith(("_velk.", "result.")) and re.match(r"\s*[-\[(\d]", comment):
                yield pytest.param(call.strip(), comment.strip(), id=call.strip()[:60])


@pytest.mark.parametrize(("call", "comment"), list(code_lines_with_results()))
def test_code_examples_print_what_the_comments_say(call, comment):
    namespace = dict(NAMESPACE)
    for block in re.findall(r"```python\n(.*?)```", README, re.S):  # assignments used by the calls
        for line in block.splitlines():
            if re.match(r"^\w+ = ", line):
                exec(line, namespace)
    assert comment.startswith(repr(eval(call, namespace)))


def binding_table():
    for call, message in re.findall(r"^\| `(\w+\(.*?\))` \| `(.+?)` \|$", README, re.M):
        yield pytest.param(call, message, id=call)


@pytest.mark.parametrize(("call", "message"), list(binding_table()))
def test_binding_table(call, message):
    with pytest.raises(TypeError) as error:
        eval("_velk." + call, NAMESPACE)
    assert str(error.value) == message


unaligned = np.zeros(40, np.uint8)[1:33].view(np.float32)
ONE = np.ones(4, np.float32)

# (call, exception type, message as the README writes it)
DOCUMENTED_ERRORS = [
    (lambda: _velk.cosine_similarity("ab", [1.0]), TypeError, "argument 'a': Can't extract `str` to `Vec`"),
    (
        lambda: _velk.cosine_similarity({1.0}, [1.0]),
        TypeError,
        "argument 'a': 'set' object cannot be converted to 'Sequence'",
    ),
    (
        lambda: _velk.top_k([1.0], [1.0, 2.0], 1),
        TypeError,
        "argument 'embeddings': 'float' object cannot be converted to 'Sequence'",
    ),
    (lambda: _velk.cosine_similarity(["x"], [1.0]), TypeError, "argument 'a': must be real number, not str"),
    (lambda: _velk.cosine_similarity([10**400], [1.0]), OverflowError, "int too large to convert to float"),
    (
        lambda: _velk.top_k([1.0], [[1.0]], 1.5),
        TypeError,
        "argument 'k': 'float' object cannot be interpreted as an integer",
    ),
    (lambda: _velk.top_k([1.0], [[1.0]], -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: _velk.top_k([1.0], [[1.0]], 2**64), OverflowError, "int too big to convert"),
    (lambda: _velk.top_k_flat_np([1.0], ONE, 1, 1), TypeError, "a bytes-like object is required, not 'list'"),
    (lambda: _velk.top_k_flat_np(np.float32(1).reshape(()), ONE, 1, 1), BufferError, "shape is null"),
    (lambda: _velk.top_k_flat_np(ONE, np.ones(4), 1, 1), BufferError, "buffer contents are not compatible with f32"),
    (
        lambda: _velk.top_k_flat_np(ONE, ONE.astype(">f4"), 1, 1),
        BufferError,
        "buffer contents are not compatible with f32",
    ),
    (
        lambda: _velk.top_k_flat_np(ONE, unaligned, 1, 1),
        BufferError,
        "buffer contents are insufficiently aligned for f32",
    ),
    (
        lambda: _velk.top_k_flat_np(ONE, np.ones((4, 4), np.float32).T, 4, 1),
        BufferError,
        "buffer is not C-contiguous; pass a C-contiguous float32 array "
        "(for example numpy.ascontiguousarray(a, dtype=numpy.float32))",
    ),
]


@pytest.mark.parametrize(("call", "kind", "message"), DOCUMENTED_ERRORS, ids=[e[2][:50] for e in DOCUMENTED_ERRORS])
def test_documented_errors(call, kind, message):
    assert message in README
    with pytest.raises(kind) as error:
        call()
    assert type(error.value) is kind and str(error.value) == message


@pytest.mark.parametrize("call", [lambda: _velk.top_k_flat([], [], 0, 0), lambda: _velk.top_k_flat_np(ONE, ONE, 0, 1)])
def test_documented_panic(call):
    with pytest.raises(BaseException) as error:
        call()
    assert type(error.value).__module__ == "pyo3_runtime" and type(error.value).__name__ == "PanicException"
    assert not isinstance(error.value, Exception)
    assert str(error.value) == "attempt to divide by zero"
    assert "| `attempt to divide by zero` |" in README


@pytest.mark.parametrize("command", ["make demo", "make test"])
def test_setup_commands(command):
    assert f"$ {command}" in README
