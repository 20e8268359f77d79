"""velk.search against single-query _velk.top_k_flat_np calls, bit for bit; its
argument handling and refusals; the interpreter lock released during a call."""

import json
import math
import struct
import sys
import threading
import time

import numpy as np
import pytest

import _velk
import velk
from conftest import run_python

NAN_BITS = 0x7FC00000


def special_rows(dim, rows, rng):
    """Random rows plus the awkward ones: NaN, infinite, zero and underflowing
    rows, and duplicates of row 2 (tied scores) scattered over the whole array,
    so that the ties land in different tasks."""
    e = rng.standard_normal((rows, dim), dtype=np.float32)
    e[rows // 2] = e[2]
    e[rows - 3] = e[2]
    e[5] = 0.0                      # squared norm 0: scores +0.0
    e[7, dim // 2] = np.nan         # squared norm NaN: scores +0.0 too
    e[rows // 3, 0] = np.inf        # scores NaN
    e[rows - 1] = 1e-30             # squares underflow to 0
    e[rows // 4] = -e[2]            # the opposite of the duplicates
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
    assert list(indices[1, :4]) == [66, 2, 100, 197]          # the NaN of the infinite row, then ties by index
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
        pytest.param(lambda q: np.frombuffer(b"\0" + q.tobytes(), np.float32, q.size, 1).reshape(q.shape), id="misaligned"),
        pytest.param(lambda q: q.astype(np.float16), id="float16"),
        pytest.param(lambda q: q > 0, id="bool"),
    ],
)
def test_other_query_inputs_are_converted_once_like_velk_converts_numbers(make):
    rng = np.random.default_rng(2)
    e = rng.standard_normal((300, 6), dtype=np.float32)
    given = make(rng.standard_normal((4, 6), dtype=np.float32))
    narrowed = as_float32_like_velk(np.asarray(given).tolist())
    assert_same(velk.search(given, e, 7), reference(narrowed, e, 7))


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
        (lambda: velk.search([1.0], [[1.0]], 1), TypeError,
         "embeddings must be a 2-D float32 array (an object with the buffer protocol, such as a numpy array or "
         "numpy.memmap), not list; convert it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32)"),
        (lambda: velk.search([1.0], np.ones((3, 2)), 1), TypeError,
         "embeddings must hold float32 in native byte order, not a 2-D array of float64 with shape (3, 2); "
         "convert it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32)"),
        (lambda: velk.search([1.0], np.ones((3, 2), ">f4"), 1), TypeError,
         "embeddings must hold float32 in native byte order, not a 2-D array of byte-swapped float32 with shape "
         "(3, 2); convert it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32)"),
        (lambda: velk.search([1.0], np.ones(4, np.float32), 1), ValueError,
         "embeddings must be a 2-D array of shape (rows, dim), not a 1-D array of float32 with shape (4,); "
         "reshape it, for example embeddings.reshape(-1, dim)"),
        (lambda: velk.search([1.0], np.ones((4, 4), np.float32)[:, ::2], 1), ValueError,
         "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of float32 with "
         "shape (4, 2) and strides (16, 8); copy it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32)"),
        (lambda: velk.search([1.0], UNALIGNED, 1), ValueError,
         "embeddings must start at an address aligned to its 4-byte items, not a 2-D array of float32 with shape "
         "(5, 2) at an odd offset; copy it with numpy.require(embeddings, numpy.float32, ['C_CONTIGUOUS', 'ALIGNED'])"),
        (lambda: velk.search([], np.ones((3, 0), np.float32), 1), ValueError,
         "embeddings must have at least one column: every row needs a dim of 1 or more"),
        (lambda: velk.search([1.0, 2.0], np.ones((3, 3), np.float32), 1), ValueError,
         "queries have 2 columns but the embeddings have dim 3; each query needs exactly dim values"),
        (lambda: velk.search(np.ones((2, 2, 3)), np.ones((3, 3), np.float32), 1), ValueError,
         "queries must have shape (dim,) or (nq, dim), not (2, 2, 3)"),
        (lambda: velk.search(1.0, np.ones((3, 3), np.float32), 1), ValueError,
         "queries must have shape (dim,) or (nq, dim), not ()"),
        (lambda: velk.search("abc", np.ones((3, 3), np.float32), 1), TypeError, "queries must be real numbers, not str"),
        (lambda: velk.search(["a", "b", "c"], np.ones((3, 3), np.float32), 1), TypeError,
         "queries must hold real numbers, not <U1 (list); convert them with numpy.asarray(queries, dtype=numpy.float32)"),
        (lambda: velk.search(np.ones(3, complex), np.ones((3, 3), np.float32), 1), TypeError,
         "queries must hold real numbers, not complex128 (ndarray); convert them with numpy.asarray(queries, "
         "dtype=numpy.float32)"),
        (lambda: velk.search([[1.0, 2.0, 3.0], [1.0]], np.ones((3, 3), np.float32), 1), ValueError,
         "queries must be an array of shape (dim,) or (nq, dim); numpy cannot read the list given: "),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1.5), TypeError, "k must be an int, not float"),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), -1), ValueError, "k must be 0 or more, not -1"),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1, threads=0), ValueError,
         "threads must be None or 1 or more, not 0"),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1, threads=2.0), TypeError,
         "threads must be None or an int, not float"),
        (lambda: velk.search([1.0], np.ones((3, 1), np.float32), 1, 2), TypeError,
         "search() takes 3 positional arguments but 4 were given"),
    ],
)
def test_refusals_say_what_was_given_and_how_to_fix_it(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)


def test_the_native_entry_checks_what_memory_safety_depends_on():
    # velk.search never passes these, but a direct call must not write out of bounds.
    e = np.ones((4, 3), np.float32)
    q = np.ones((2, 3), np.float32)
    native = velk._native
    with pytest.raises(ValueError, match=r"^scores must have shape \(2, 3\), not \(2, 2\)$"):
        native.search_into(q, e, 3, 0, np.empty((2, 2), np.float32), np.empty((2, 3), np.int64))
    with pytest.raises(TypeError, match="^indices must hold int64 in native byte order, not a 2-D array of int32"):
        native.search_into(q, e, 3, 0, np.empty((2, 3), np.float32), np.empty((2, 3), np.int32))
    read_only = np.empty((2, 3), np.float32)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):  # numpy's own refusal
        native.search_into(q, e, 3, 0, read_only, np.empty((2, 3), np.int64))
    with pytest.raises(ValueError, match=r"^queries must have shape \(2, 3\), not \(2, 2\)$"):
        native.search_into(np.ones((2, 2), np.float32), e, 3, 0, np.empty((2, 3), np.float32), np.empty((2, 3), np.int64))
    with pytest.raises(TypeError, match=r"^search_into\(\) takes exactly 6 positional arguments \(2 given\)$"):
        native.search_into(q, e)
    with pytest.raises(OverflowError):
        native.search_into(q, e, -1, 0, np.empty((2, 3), np.float32), np.empty((2, 3), np.int64))


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
            if not (np.array_equal(got.indices, expected[index].indices)
                    and got.scores.tobytes() == expected[index].scores.tobytes()):
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
        out.append([type(error).__name__, str(error)])
print(json.dumps(out))
"""


@pytest.mark.skipif("asan" in open("/proc/self/maps").read(), reason="the sanitizer reserves terabytes of address space")
def test_a_pool_that_cannot_start_is_a_runtime_error_and_one_thread_still_works():
    # 65535 workers with 2 MiB stacks cannot start under a 256 MiB address-space limit.
    completed = run_python(POOL_FAILURE, env={"RAYON_NUM_THREADS": "65535"})
    assert completed.returncode == 0, completed.stderr
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
