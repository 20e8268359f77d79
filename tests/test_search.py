"""velk.search against single-query _velk.top_k_flat_np calls, bit for bit; its
argument handling and refusals; the interpreter lock released during a call."""

import json
import math
import struct
import sys
import threading
import time
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import _velk
import velk

from conftest import assert_same, reference, run_python

NAN_BITS = 0x7FC00000


def special_rows(dim, rows, rng):
    """Random rows plus the awkward ones: NaN, infinite, zero and underflowing
    rows, and duplicates of row 2 (tied scores) scattered over the whole array,
    so that the ties land in different tasks."""
    e = rng.standard_normal((rows, dim), dtype=np.float32)
    e[rows // 2] = e[2]
    e[rows - 3] = e[2]
    e[5] = 0.0  # squared norm 0: scores +0.0
    e[7, dim // 2] = np.nan  # squared norm NaN: scores +0.0 too
    e[rows // 3, 0] = np.inf  # scores NaN
    e[rows - 1] = 1e-30  # squares underflow to 0
    e[rows // 4] = -e[2]  # the opposite of the duplicates
    return e


def special_queries(e, count, rng):
    """Random queries, then the rows' own kinds: a duplicate row (ties at the
    top), a zero query (no hits), a NaN query (NaN for every positive row)."""
    dim = e.shape[1]
    q = rng.standard_normal((count, dim), dtype=np.float32)
    specials = [e[2], np.zeros(dim, np.float32), np.full(dim, np.nan, np.float32), -e[2]]
    for i, row in enumerate(specials[: count - 1]):
        q[(i * 5 + 1) % count] = row
    return q


@pytest.mark.parametrize("dim", [1, 7, 128, 384, 769])
@pytest.mark.parametrize("nq", [1, 2, 7, 65, 257])
def test_every_row_of_a_batch_is_the_single_query_result(nq, dim):
    rng = np.random.default_rng(nq * 1000 + dim)
    # Enough floats for several row ranges, so that threads share the rows.
    rows = int(np.clip(70_000 // dim, 50, 600))
    e = special_rows(dim, rows, rng)
    queries = special_queries(e, nq, rng)
    for k in (1, rows, rows + 3):
        want = reference(queries, e, k)
        for threads in (1, 2, None):
            assert_same(velk.search(queries, e, k, threads=threads), want)


def test_the_specials_are_what_the_single_query_path_makes_of_them():
    # Guards the data above: the awkward rows and queries do what they should.
    rng = np.random.default_rng(3)
    e = special_rows(16, 200, rng)
    queries = special_queries(e, 7, rng)
    scores, indices = velk.search(queries, e, 200)
    top = queries[1]  # the duplicate of row 2
    assert top.tobytes() == e[2].tobytes()
    assert list(indices[1, :4]) == [66, 2, 100, 197]  # the NaN of the infinite row, then ties by index
    assert scores[1, 1] == scores[1, 2] == scores[1, 3]
    assert list(indices[6]) == [-1] * 200 and np.all(scores[6] == -np.inf)  # zero query
    # The NaN query: NaN for the 197 rows with a positive squared norm, +0.0 for the others.
    assert set(scores[4, :197].view(np.uint32).tolist()) == {NAN_BITS}
    assert scores[4, 197:].tobytes() == bytes(12) and sorted(indices[4, 197:]) == [5, 7, 199]


@pytest.mark.parametrize("k", [0, 1, 5, 10**30])
def test_shapes_of_1d_and_2d_queries(k):
    rng = np.random.default_rng(1)
    e = rng.standard_normal((40, 8), dtype=np.float32)
    kk = min(k, 40)
    single = velk.search(e[3], e, k)
    assert single.scores.shape == single.indices.shape == (kk,)
    batch = velk.search(e[:5], e, k)
    assert batch.scores.shape == batch.indices.shape == (5, kk)
    assert_same((single.scores[None], single.indices[None]), (batch.scores[3:4], batch.indices[3:4]))
    assert isinstance(batch, velk.SearchResult) and batch == (batch.scores, batch.indices)


@pytest.mark.parametrize(
    ("rows", "nq", "k", "shape"),
    [(0, 3, 5, (3, 0)), (10, 0, 5, (0, 5)), (0, 0, 0, (0, 0)), (10, 2, 0, (2, 0))],
)
def test_empty_inputs_give_empty_results(rows, nq, k, shape):
    result = velk.search(np.ones((nq, 4), np.float32), np.ones((rows, 4), np.float32), k)
    assert result.scores.shape == result.indices.shape == shape


def as_float32_like_velk(values):
    """What _velk makes of numbers: a double first, then the nearest float32."""
    return np.array([[struct.unpack("<f", struct.pack("<f", float(x)))[0] for x in row] for row in values], np.float32)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda q: q.tolist(), id="nested-list"),
        pytest.param(lambda q: q.astype(np.float64) * (1 + 2**-30), id="float64-rounded"),
        pytest.param(lambda q: (q * 2**26).astype(np.int64) + 1, id="int64-beyond-float32"),
        pytest.param(lambda q: q.astype(">f4"), id="big-endian"),
        pytest.param(lambda q: np.asfortranarray(q), id="fortran-order"),
        pytest.param(lambda q: np.repeat(q, 2, axis=0)[::2], id="strided"),
        pytest.param(
            lambda q: np.frombuffer(b"\0" + q.tobytes(), np.float32, q.size, 1).reshape(q.shape), id="misaligned"
        ),
        pytest.param(lambda q: q.astype(np.float16), id="float16"),
        pytest.param(lambda q: q > 0, id="bool"),
        # Numbers numpy keeps as objects: each read as a Python float first.
        pytest.param(lambda q: [[2**64, *row[1:]] for row in q.tolist()], id="int-past-64-bits"),
        pytest.param(lambda q: [[Fraction(1, 3), *row[1:]] for row in q.tolist()], id="fraction"),
        pytest.param(lambda q: [[Decimal("0.1"), -(2**80), *row[2:]] for row in q.tolist()], id="decimal-and-int"),
        pytest.param(lambda q: q.astype(object), id="object-array-of-floats"),
    ],
)
def test_other_query_inputs_are_converted_once_like_velk_converts_numbers(make):
    rng = np.random.default_rng(2)
    e = rng.standard_normal((300, 6), dtype=np.float32)
    given = make(rng.standard_normal((4, 6), dtype=np.float32))
    narrowed = as_float32_like_velk(np.asarray(given).tolist())
    assert_same(velk.search(given, e, 7), reference(narrowed, e, 7))
    # And exactly what _velk makes of the same numbers.
    first = np.asarray(given)[0].tolist()
    assert [h for h, _ in _velk.top_k_flat(first, e.ravel().tolist(), 6, 7)] == velk.search([first], e, 7).indices[
        0
    ].tolist()


MASKED = np.ma.masked_array(np.ones((3, 3), np.float32), mask=np.eye(3, dtype=bool))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: velk.search(MASKED, np.ones((3, 3), np.float32), 1),
            "queries must not be a masked array: the search would read the masked values as they are; "
            "pass queries.filled(value) or only the rows you mean to search",
        ),
        (lambda: velk.search(MASKED[0], np.ones((3, 3), np.float32), 1), "queries must not be a masked array"),
        (
            lambda: velk.search(np.ones(3), MASKED, 1),
            "embeddings must not be a masked array: the search would read the masked values as they are; "
            "pass embeddings.filled(value) or only the rows you mean to search",
        ),
        # Not real numbers, even when numpy keeps them as objects.
        (lambda: velk.search([1.0, "2", 3.0], np.ones((3, 3), np.float32), 1), "queries must hold real numbers"),
        (
            lambda: velk.search([Fraction(1), 2j, 3], np.ones((3, 3), np.float32), 1),
            "queries must hold real numbers, not object",
        ),
        (
            lambda: velk.search([1.0, None, 3], np.ones((3, 3), np.float32), 1),
            "queries must hold real numbers, not object",
        ),
        (
            lambda: velk.search(np.array([1.0, np.complex64(1), 3], object), np.ones((3, 3), np.float32), 1),
            "queries must hold real numbers, not object (ndarray)",
        ),
    ],
)
def test_masked_arrays_and_objects_that_are_not_reals_are_refused(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value).startswith(message)


def test_a_number_too_large_for_a_float_fails_as_in_velk():
    e = np.ones((3, 2), np.float32)
    with pytest.raises(OverflowError) as direct:
        _velk.top_k_flat([2**1100, 1.0], e.ravel().tolist(), 2, 1)
    with pytest.raises(OverflowError) as batch:
        velk.search([2**1100, 1.0], e, 1)
    assert str(batch.value) == str(direct.value)


def test_embeddings_are_read_in_place_from_any_float32_buffer(tmp_path):
    rng = np.random.default_rng(4)
    e = rng.standard_normal((500, 12), dtype=np.float32)
    want = velk.search(e[:3], e, 6)
    mapped = np.lib.format.open_memmap(tmp_path / "e.npy", mode="w+", dtype=np.float32, shape=e.shape)
    mapped[:] = e
    assert_same(velk.search(e[:3], mapped, 6), want)
    assert_same(velk.search(e[:3], memoryview(e), 6), want)
    read_only = e.copy()
    read_only.flags.writeable = False
    assert_same(velk.search(read_only[:3], read_only, 6), want)


UNALIGNED = np.frombuffer(bytes(41), np.float32, 10, 1).reshape(5, 2)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda: velk.search([1.0], [[1.0]], 1),
            TypeError,
            "embeddings must be a 2-D float32 array (an object with the buffer protocol, such as a numpy array or "
            "numpy.memmap), not list; convert it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32)",
        ),
        (
            lambda: velk.search([1.0], np.ones((3, 2)), 1),
            TypeError,
            "embeddings must hold float32, float16, bfloat16, int8 or uint8 in native byte order, not a 2-D array "
            "of float64 with shape (3, 2); convert it once with numpy.ascontiguousarray(embeddings, "
            "dtype=numpy.float32), or dtype=numpy.float16 for half the memory",
        ),
        (
            lambda: velk.search([1.0], np.ones((3, 2), ">f4"), 1),
            TypeError,
            "embeddings must hold float32, float16, bfloat16, int8 or uint8 in native byte order, not a 2-D array "
            "of byte-swapped float32 with shape (3, 2); convert it once with numpy.ascontiguousarray(embeddings, "
            "dtype=numpy.float32), or dtype=numpy.float16 for half the memory",
        ),
        (
            lambda: velk.search([1.0], np.ones(4, np.float32), 1),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 1-D array of float32 with shape (4,); "
            "reshape it, for example embeddings.reshape(-1, dim)",
        ),
        (
            lambda: velk.search([1.0], np.ones((4, 4), np.float32)[:, ::2], 1),
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of float32 with "
            "shape (4, 2) and strides (16, 8); "
            "copy it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32)",
        ),
        (
            lambda: velk.search([1.0], UNALIGNED, 1),
            ValueError,
            "embeddings must start at an address aligned to its 4-byte items, not a 2-D array of float32 with shape "
            "(5, 2) at an odd offset; "
            "copy it with numpy.require(embeddings, numpy.float32, ['C_CONTIGUOUS', 'ALIGNED'])",
        ),
        (
            lambda: velk.search([], np.ones((3, 0), np.float32), 1),
            ValueError,
            "embeddings must have at least one column: every row needs a dim of 1 or more",
        ),
        (
            lambda: velk.search([1.0, 2.0], np.ones((3, 3), np.float32), 1),
            ValueError,
            "queries have 2 columns but the embeddings have dim 3; each query needs exactly dim values",
        ),
        (
            lambda: velk.search(np.ones((2, 2, 3)), np.ones((3, 3), np.float32), 1),
            ValueError,
            "queries must have shape (dim,) or (nq, dim), not (2, 2, 3)",
        ),
        (
            lambda: velk.search(1.0, np.ones((3, 3), np.float32), 1),
            ValueError,
            "queries must have shape (dim,) or (nq, dim), not ()",
        ),
        (
            lambda: velk.search("abc", np.ones((3, 3), np.float32), 1),
            TypeError,
            "queries must be real numbers, not str",
        ),
        (
            lambda: velk.search(["a", "b", "c"], np.ones((3, 3), np.float32), 1),
            TypeError,
            "queries must hold real numbers, not <U1 (list); "
            "convert them with numpy.asarray(queries, dtype=numpy.float32)",
        ),
        (
            lambda: velk.search(np.ones(3, complex), np.ones((3, 3), np.float32), 1),
            TypeError,
            "queries must hold real numbers, not complex128 (ndarray); convert them with numpy.asarray(queries, "
            "dtype=numpy.float32)",
        ),
        (
            lambda: velk.search([[1.0, 2.0, 3.0], [1.0]], np.ones((3, 3), np.float32), 1),
            ValueError,
            "queries must be an array of shape (dim,) or (nq, dim); numpy cannot read the list given: ",
        ),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1.5), TypeError, "k must be an int, not float"),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), -1), ValueError, "k must be 0 or more, not -1"),
        (
            lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1, threads=0),
            ValueError,
            "threads must be None or 1 or more, not 0",
        ),
        (
            lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1, threads=2.0),
            TypeError,
            "threads must be None or an int, not float",
        ),
        (
            lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1, 2),
            TypeError,
            "search() takes 3 positional arguments but 4 were given",
        ),
    ],
)
def test_refusals_say_what_was_given_and_how_to_fix_it(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)


class CountingExporter:
    """Exports a different array on each buffer request, counting requests and releases."""

    def __init__(self, *arrays):
        self.arrays, self.requests, self.releases = arrays, 0, 0

    def __buffer__(self, flags):
        array = self.arrays[min(self.requests, len(self.arrays) - 1)]
        self.requests += 1
        return memoryview(array)

    def __release_buffer__(self, view):
        self.releases += 1
        view.release()


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda e: velk.search(np.ones((2, 3)), e, 2), None),
        (lambda e: velk.search([1.0, 0.0, 0.0], e, 10**30, threads=1), None),
        (lambda e: velk.search(np.ones((0, 3), np.float32), e, 0), None),
        (lambda e: velk.search([1.0, 2.0], e, 2), ValueError),
        (lambda e: velk.search(np.ones(3), e, -1), ValueError),
        (lambda e: velk.search(np.ones(3), e, 2, threads=0), ValueError),
    ],
)
def test_one_buffer_request_per_search(call, error):
    exporter = CountingExporter(np.arange(12, dtype=np.float32).reshape(4, 3))
    if error is None:
        call(exporter)
    else:
        with pytest.raises(error):
            call(exporter)
    assert (exporter.requests, exporter.releases) == (1, 1)


def test_an_exporter_that_changes_between_requests_is_read_as_first_exported():
    first = np.eye(4, 3, dtype=np.float32)
    exporter = CountingExporter(first, np.ones((9, 2), np.float32), np.ones((1, 1), np.float64))
    assert_same(velk.search(first[1:3], exporter, 9), velk.search(first[1:3], first, 9))
    exporter.requests = 0
    with pytest.raises(ValueError, match=r"^queries have 2 columns but the embeddings have dim 3;"):
        velk.search(np.ones((1, 2), np.float32), exporter, 1)


FIT = np.ones((4, 3), np.float32)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((FIT, FIT), TypeError, "search() takes exactly 8 positional arguments (2 given)"),
        ((FIT, FIT, 1, None, None), TypeError, "search() takes exactly 8 positional arguments (5 given)"),
        (
            (np.ones(3, np.float32), FIT, 1, None),
            ValueError,
            "queries must be a 2-D array of shape (rows, dim), not a 1-D array of float32 with shape (3,); "
            "reshape it, for example queries.reshape(-1, dim)",
        ),
        (
            (FIT.astype(np.float64), FIT, 1, None),
            TypeError,
            "queries must hold float32 in native byte order, not a 2-D array of float64 with shape (4, 3); "
            "convert it once with numpy.ascontiguousarray(queries, dtype=numpy.float32)",
        ),
        (
            (np.ones((4, 6), np.float32)[:, ::2], FIT, 1, None),
            ValueError,
            "queries must be C-contiguous (one row after another in memory), not a 2-D array of float32 with shape "
            "(4, 3) and strides (24, 8); copy it once with numpy.ascontiguousarray(queries, dtype=numpy.float32)",
        ),
        (
            ([[1.0, 1.0, 1.0]], FIT, 1, None),
            TypeError,
            "queries must be a 2-D float32 array (an object with the "
            "buffer protocol, such as a numpy array or numpy.memmap), not list; convert it once with "
            "numpy.ascontiguousarray(queries, dtype=numpy.float32)",
        ),
        (
            (np.ones((1, 2), np.float32), FIT, 1, None),
            ValueError,
            "queries have 2 columns but the embeddings have dim 3; each query needs exactly dim values",
        ),
        ((FIT, FIT, 2.0, None), TypeError, "k must be an int, not float"),
        ((FIT, FIT, "2", None), TypeError, "k must be an int, not str"),
        ((FIT, FIT, -(10**30), None), ValueError, f"k must be 0 or more, not {-(10**30)}"),
        ((FIT, FIT, 1, 1.0), TypeError, "threads must be None or an int, not float"),
        ((FIT, FIT, 1, 0), ValueError, "threads must be None or 1 or more, not 0"),
        ((FIT, FIT, 1, False), ValueError, "threads must be None or 1 or more, not 0"),  # as operator.index gives it
        ((FIT, FIT, 1, -(2**70)), ValueError, f"threads must be None or 1 or more, not {-(2**70)}"),
    ],
)
def test_the_native_entry_refuses_with_the_search_messages(args, error, message):
    with pytest.raises(BaseException) as raised:
        velk._native.search(*args, *((None,) * (8 - len(args)) if len(args) == 4 else ()))
    assert type(raised.value) is error and str(raised.value) == message
    assert raised.value.__context__ is None


class Index:
    def __init__(self, make):
        self.make = make

    def __index__(self):
        return self.make()


@pytest.mark.parametrize(
    ("k", "threads", "width"),
    [(0, None, 0), (3, 1, 3), (10**30, 2**70, 4), (Index(lambda: 2), Index(lambda: 1), 2), (True, True, 1)],
)
def test_the_native_entry_returns_fresh_arrays(k, threads, width):
    rng = np.random.default_rng(7)
    e = rng.standard_normal((4, 3), dtype=np.float32)
    scores, indices = velk._native.search(e[:2], e, k, threads, None, None, None, None)
    for array, dtype in ((scores, np.float32), (indices, np.int64)):
        assert array.dtype == dtype and array.shape == (2, width)
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata
    assert not np.shares_memory(scores, indices)
    assert_same((scores, indices), reference(e[:2], e, width))


def test_an_index_that_raises_passes_its_own_error():
    def refuse():
        raise KeyError("mine")

    with pytest.raises(KeyError, match="mine"):
        velk._native.search(FIT, FIT, Index(refuse), None, None, None, None, None)
    with pytest.raises(TypeError, match="^threads must be None or an int, not Index$"):
        velk._native.search(FIT, FIT, 1, Index(lambda: 1.5), None, None, None, None)


def test_numpy_empty_is_taken_once_at_import(monkeypatch):
    def broken(*args, **kwargs):
        raise AssertionError("numpy.empty looked up at call time")

    monkeypatch.setattr(np, "empty", broken)
    scores, indices = velk.search(FIT[0], FIT, 2)
    assert scores.shape == indices.shape == (2,)


def test_embeddings_of_any_native_float32_format_are_read():
    import ctypes

    little = ((ctypes.c_float * 3) * 4)(*[(ctypes.c_float * 3)(1.0, float(i), 0.0) for i in range(4)])
    assert memoryview(little).format in ("<f", ">f", "f")
    want = velk.search([1.0, 2.0, 0.0], np.asarray(little, np.float32), 4)
    swapped = ctypes.c_float.__ctype_be__ if sys.byteorder == "little" else ctypes.c_float.__ctype_le__
    with pytest.raises(
        TypeError,
        match="^embeddings must hold float32, float16, bfloat16, int8 or uint8 in native byte order, not a 2-D "
        r"array of byte-swapped float32 with shape \(4, 3\)",
    ):
        velk.search([1.0, 2.0, 0.0], ((swapped * 3) * 4)(), 4)
    assert_same(velk.search([1.0, 2.0, 0.0], little, 4), want)


def test_the_interpreter_lock_is_released_during_a_search():
    rng = np.random.default_rng(5)
    e = rng.standard_normal((100_000, 256), dtype=np.float32)
    queries = rng.standard_normal((32, 256), dtype=np.float32)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        velk.search(queries, e, 10, threads=1)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(previous)
    during = [t for t in ticks if start < t < end]
    # Had the call kept the lock, the ticker would have stopped for all of it.
    gaps = np.diff([start, *during, end])
    assert len(during) >= 10 and gaps.max() < (end - start) / 4, (len(during), gaps.max(), end - start)


def test_eight_threads_at_once_get_the_results_of_serial_calls():
    rng = np.random.default_rng(6)
    cases = []
    for case in range(8):
        dim = (5, 64, 130)[case % 3]
        e = special_rows(dim, 3000 + 500 * case, rng)
        queries = special_queries(e, 1 + 9 * case, rng)
        cases.append((queries, e, (1, 10, 3000)[case % 3], (None, 1, 2)[case % 3]))
    expected = [velk.search(q, e, k, threads=t) for q, e, k, t in cases]
    start = threading.Barrier(8)
    mismatches = []

    def worker(offset):
        start.wait()
        for round_ in range(4):
            index = (offset + round_) % len(cases)
            q, e, k, t = cases[index]
            got = velk.search(q, e, k, threads=t)
            if not (
                np.array_equal(got.indices, expected[index].indices)
                and got.scores.tobytes() == expected[index].scores.tobytes()
            ):
                mismatches.append((offset, index))

    threads = [threading.Thread(target=worker, args=(offset,)) for offset in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    assert mismatches == []


POOL_FAILURE = """
import json, resource
import numpy as np
import velk
e = np.ones((50_000, 8), np.float32)
size = int(open("/proc/self/statm").read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (size + 256 * 2**20, resource.RLIM_INFINITY))
out = []
for threads in (None, 2, 1):
    try:
        out.append(["returned", velk.search(e[:3], e, 2, threads=threads).indices.tolist()])
    except BaseException as error:
        # Exactly RuntimeError: no panic class of velk's own, nothing chained.
        exact = type(error) is RuntimeError and error.__context__ is None and error.__cause__ is None
        out.append([type(error).__name__ if exact else repr(error), str(error)])
print(json.dumps(out))
"""


@pytest.mark.skipif(
    "asan" in Path("/proc/self/maps").read_text(), reason="the sanitizer reserves terabytes of address space"
)
def test_a_pool_that_cannot_start_is_a_runtime_error_and_one_thread_still_works():
    # 65535 workers with 2 MiB stacks cannot start under a 256 MiB address-space limit.
    completed = run_python(POOL_FAILURE, env={"RAYON_NUM_THREADS": "65535"})
    assert completed.returncode == 0, completed.stderr
    # The exceptions tell it all: no report on standard error (that is _velk's way).
    assert completed.stderr == ""
    first, second, alone = json.loads(completed.stdout)
    prefix = "The global thread pool has not been initialized.: "
    assert first[0] == "RuntimeError" and first[1].startswith(prefix + "IOError: ") and "(os error " in first[1]
    assert second == ["RuntimeError", prefix + "GlobalPoolAlreadyInitialized"]
    assert alone == ["returned", [[0, 1]] * 3]


def test_package_surface():
    assert velk.__all__ == ["SearchResult", "search", "cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]
    for name in ("cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"):
        assert getattr(velk, name) is getattr(_velk, name)
    assert velk.SearchResult._fields == ("scores", "indices")
    assert math.isclose(velk.cosine_similarity([1, 2, 3], [4, 5, 6]), 0.9746317863464355)
