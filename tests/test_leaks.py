"""Reference and memory leaks, on every success path and every error path.

Each scenario calls one function many times after a warm-up and checks that
the reference counts of its arguments (and of the objects inside them), of the
exception class it raises and of its results do not change, that the C heap in
use (glibc mallinfo2, which sees every operator new) grows by less than a few
bytes per call, and that resident memory (/proc/self/statm) stays put.

VELK_LEAK_CALLS sets the number of measured calls per scenario (default 1500;
`make test-leaks-long` style runs use 100000 or more).
"""

import array
import ctypes
import gc
import json
import os
import sys

import numpy as np
import pytest

import _velk
import velk

try:
    import ml_dtypes
except ImportError:  # make test installs it
    ml_dtypes = None

from conftest import UNDER_ASAN, PanicException, run_python

CALLS = int(os.environ.get("VELK_LEAK_CALLS", "1500"))
WARMUP = 200
PAGE = os.sysconf("SC_PAGE_SIZE")


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def heap_in_use() -> int:
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def watched_objects(value, depth=0):
    """The argument and the objects it holds, whose counts a leak would raise."""
    found = [value]
    if depth < 2 and isinstance(value, (list, tuple)):
        for item in value[:50]:
            found.extend(watched_objects(item, depth + 1))
    return found


def reference_counts(result):
    counts = [sys.getrefcount(result)]
    if isinstance(result, list):
        for hit in result:
            counts += [sys.getrefcount(hit), sys.getrefcount(hit[1])]
    return counts


# A result made in Python, held exactly as the module's results are: one list
# owning fresh tuples owning fresh floats. Its counts are what nothing else
# holding a reference looks like.
_PROBE_LIST = [(0, float("0.25") * 2), (1, float("0.75") * 2)]
_PROBE_FLOAT = float("0.5") * 3


# velk.search's result: a tuple owning its two arrays and nothing else.
_PROBE_SEARCH = velk.SearchResult(np.zeros((1, 1), np.float32), np.zeros((1, 1), np.int64))


def check_result(result):
    if isinstance(result, velk.SearchResult):
        probe = _PROBE_SEARCH
        assert [sys.getrefcount(o) for o in (result, *result)] == [sys.getrefcount(o) for o in (probe, *probe)]
        return
    probe = _PROBE_LIST if isinstance(result, list) else _PROBE_FLOAT
    expected = reference_counts(probe)
    if isinstance(result, list):
        expected = [expected[0]] + expected[1:3] * len(result)
    assert reference_counts(result) == expected


def call_once(function, args, kwargs, error):
    if error is None:
        result = function(*args, **kwargs)
        check_result(result)
        return
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{function.__name__} did not raise {error.__name__}")


def assert_no_leak(function, args, kwargs=None, error=None, calls=CALLS):
    kwargs = kwargs or {}
    watched = [function, error or float] + [o for a in list(args) + list(kwargs.values()) for o in watched_objects(a)]
    for _ in range(WARMUP):
        call_once(function, args, kwargs, error)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    # Threads that earlier tests leave behind (dask's profiler samples every few
    # milliseconds) allocate from the same heap now and then. A leak grows the
    # heap in every round of calls; such noise does not, so one clean round of
    # three is enough.
    growths = []
    for _ in range(3):
        heap, resident = heap_in_use(), resident_bytes()
        for _ in range(calls):
            call_once(function, args, kwargs, error)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == counts
        if UNDER_ASAN:
            return
        growths.append((heap_in_use() - heap, resident_bytes() - resident))
        # Measured noise is under 1 KiB; one leaked 32-byte chunk per call exceeds the bound.
        if growths[-1][0] < 4 * calls + 8192 and growths[-1][1] < 2 * 2**20 + 64 * calls:
            return
    raise AssertionError(f"C heap and RSS grew by {growths} bytes in each of three rounds of {calls} calls")


RNG = np.random.default_rng(5)
VEC_A = RNG.standard_normal(256).tolist()
VEC_B = RNG.standard_normal(256).tolist()
ROWS = RNG.standard_normal((64, 32)).tolist()
QUERY32 = RNG.standard_normal(32).tolist()
FLAT = RNG.standard_normal(500 * 16).tolist()
QUERY16 = FLAT[:16]
NP_QUERY = RNG.standard_normal(8).astype(np.float32)
NP_EMBEDDINGS = RNG.standard_normal((20_000, 8)).astype(np.float32)  # enough rows for the worker pool
NAN_ROWS = [[float("nan"), 1.0], [1.0, 0.0], [float("inf"), 0.0]]
NP_QUERIES = RNG.standard_normal((16, 8)).astype(np.float32)


class Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        return self.items[index]


class RaisingFloat:
    def __init__(self, make_error):
        self.make_error = make_error

    def __float__(self):
        raise self.make_error()


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


class RaisingIter:
    def __len__(self):
        return 3

    def __getitem__(self, index):
        return 1.0

    def __iter__(self):
        raise KeyError("no iterator")


def type_error_with_cause():
    error = TypeError("with a cause")
    error.__cause__ = ValueError("the cause")
    return error


SEQ = Seq([1.0, 2.0, 3.0])

SUCCESS = {
    "cosine lists": (_velk.cosine_similarity, (VEC_A, VEC_B)),
    "cosine keywords": (_velk.cosine_similarity, (), {"b": VEC_B, "a": VEC_A}),
    "cosine tuple, range, bytes": (_velk.cosine_similarity, ((1, 2, 3), range(3))),
    "cosine numpy scalars": (_velk.cosine_similarity, (NP_QUERY, NP_QUERY)),
    "cosine user sequence": (_velk.cosine_similarity, (SEQ, b"\x01\x02\x03")),
    "cosine empty": (_velk.cosine_similarity, ([], [])),
    "top_k": (_velk.top_k, (QUERY32, ROWS, 10)),
    "top_k all rows, keywords": (_velk.top_k, (), {"k": 2**64 - 1, "embeddings": ROWS, "query": QUERY32}),
    "top_k nan rows": (_velk.top_k, ([1.0, 0.0], NAN_ROWS, 3)),
    "top_k k=0": (_velk.top_k, (QUERY32, ROWS, 0)),
    "top_k_flat": (_velk.top_k_flat, (QUERY16, FLAT, 16, 25)),
    "top_k_flat k=1": (_velk.top_k_flat, (QUERY16, FLAT, 16, True)),
    "top_k_flat empty query": (_velk.top_k_flat, ([], FLAT, 16, 5)),
    "top_k_flat numpy index": (_velk.top_k_flat, (QUERY16, FLAT, np.int64(16), np.uint8(3))),
    "top_k_flat_np on the pool": (_velk.top_k_flat_np, (NP_QUERY, NP_EMBEDDINGS, 8, 50)),
    "top_k_flat_np all rows": (_velk.top_k_flat_np, (NP_QUERY, NP_EMBEDDINGS[:300], 8, 10**6)),
    "top_k_flat_np array.array": (
        _velk.top_k_flat_np,
        (array.array("f", [1, 0]), array.array("f", [1, 0, 0, 1]), 2, 2),
    ),
    "top_k_flat_np same array twice": (_velk.top_k_flat_np, (NP_QUERY, NP_QUERY, 4, 2)),
    "search on the pool": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 10)),
    "search one thread, keywords": (
        velk.search,
        (),
        {"queries": NP_QUERIES, "embeddings": NP_EMBEDDINGS[:2000], "k": 5, "threads": 1},
    ),
    "search all rows wanted": (velk.search, (NP_QUERIES[:3], NP_EMBEDDINGS[:300], 10**6)),
    "search list query, zero query": (velk.search, ([[0.0] * 8, NP_QUERY.tolist()], NP_EMBEDDINGS[:500], 3)),
    "search 1-D float64 query": (velk.search, (NP_QUERY.astype(np.float64), NP_EMBEDDINGS[:500], 3)),
    "search shared where": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 10), {"where": NP_EMBEDDINGS[:, 0] > 0.5}),
    "search where per query": (
        velk.search,
        (NP_QUERIES, NP_EMBEDDINGS, 10),
        {"where": NP_QUERIES[:, :1] < NP_EMBEDDINGS[:, :1].T},
    ),
    "search one query, where": (velk.search, (NP_QUERY, NP_EMBEDDINGS, 5), {"where": NP_EMBEDDINGS[:, 1] > 0}),
    "search shared rows": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 10), {"rows": np.arange(-1, 20_000, 7)}),
    "search rows per query, padded": (
        velk.search,
        (NP_QUERIES, NP_EMBEDDINGS, 10),
        {"rows": np.tile(np.array([3, 3, -1, 19_999, 40, 5]), (16, 1)), "threads": 1},
    ),
    "search empty rows": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 10), {"rows": []}),
    "search float16": (velk.search, (NP_QUERIES, NP_EMBEDDINGS.astype(np.float16), 10)),
    "search int8 rows": (velk.search, (NP_QUERIES, (NP_EMBEDDINGS * 40).astype(np.int8), 10), {"rows": [3, 9, 4]}),
    "search uint8 where, one thread": (
        velk.search,
        (NP_QUERY, (NP_EMBEDDINGS * 40).astype(np.uint8), 5),
        {"where": NP_EMBEDDINGS[:, 1] > 0, "threads": 1},
    ),
}
if ml_dtypes is not None:
    SUCCESS["search bfloat16"] = (velk.search, (NP_QUERIES, NP_EMBEDDINGS.astype(ml_dtypes.bfloat16), 10))


@pytest.mark.parametrize("name", list(SUCCESS))
def test_success_paths_do_not_leak(name):
    function, args, *rest = SUCCESS[name]
    assert_no_leak(function, args, rest[0] if rest else None)


ERRORS = {
    # binding
    "missing": (_velk.cosine_similarity, ([1.0],), None, TypeError),
    "too many": (_velk.top_k, ([1.0], [[1.0]], 1, 2), None, TypeError),
    "unexpected keyword": (_velk.top_k_flat, ([1.0],), {"embeddings": [1.0], "dim": 1, "K": 1}, TypeError),
    "multiple values": (_velk.top_k_flat_np, (NP_QUERY,), {"query": NP_QUERY}, TypeError),
    # conversion
    "str vector": (_velk.cosine_similarity, ("ab", VEC_B), None, TypeError),
    "set vector": (_velk.cosine_similarity, (VEC_A, {1.0}), None, TypeError),
    "str row": (_velk.top_k, (QUERY32, [[1.0], "ab"], 1), None, TypeError),
    "number row": (_velk.top_k, (QUERY32, ROWS + [1.0], 1), None, TypeError),
    "object element": (_velk.top_k_flat, (QUERY16, FLAT + [object()], 16, 1), None, TypeError),
    "huge int element": (_velk.cosine_similarity, (VEC_A + [10**400], VEC_B), None, OverflowError),
    "__float__ ValueError": (
        _velk.cosine_similarity,
        ([RaisingFloat(lambda: ValueError("x"))], [1.0]),
        None,
        ValueError,
    ),
    "__float__ TypeError with cause": (
        _velk.cosine_similarity,
        ([1.0], [RaisingFloat(type_error_with_cause)]),
        None,
        TypeError,
    ),
    "__iter__ raises": (_velk.top_k, (RaisingIter(), ROWS, 1), None, KeyError),
    "negative k": (_velk.top_k, (QUERY32, ROWS, -1), None, OverflowError),
    "float k": (_velk.top_k, (QUERY32, ROWS, 1.5), None, TypeError),
    "__index__ raises": (_velk.top_k_flat_np, (NP_QUERY, NP_EMBEDDINGS, RaisingIndex(), 1), None, ValueError),
    "huge dim": (_velk.top_k_flat, (QUERY16, FLAT, 2**64, 1), None, OverflowError),
    # buffers
    "list buffer": (_velk.top_k_flat_np, ([1.0], NP_EMBEDDINGS, 8, 1), None, TypeError),
    "float64 embeddings": (_velk.top_k_flat_np, (NP_QUERY, NP_EMBEDDINGS.astype(np.float64), 8, 1), None, BufferError),
    "bytes query": (_velk.top_k_flat_np, (b"\x00\x00\x80?", NP_EMBEDDINGS, 8, 1), None, BufferError),
    "misaligned embeddings": (
        _velk.top_k_flat_np,
        (NP_QUERY, np.frombuffer(bytes(17), np.float32, 4, 1), 4, 1),
        None,
        BufferError,
    ),
    "0-d query": (_velk.top_k_flat_np, (np.array(1.0, np.float32), NP_EMBEDDINGS, 8, 1), None, BufferError),
    "strided embeddings": (_velk.top_k_flat_np, (NP_QUERY, NP_EMBEDDINGS[::2], 8, 1), None, BufferError),
    "big-endian embeddings": (
        _velk.top_k_flat_np,
        (NP_QUERY, NP_EMBEDDINGS[:10].astype(">f4"), 8, 1),
        None,
        BufferError,
    ),
    # velk.search
    "search list embeddings": (velk.search, (NP_QUERIES, NP_EMBEDDINGS.tolist()[:50], 1), None, TypeError),
    "search float64 embeddings": (velk.search, (NP_QUERIES, NP_EMBEDDINGS.astype(np.float64), 1), None, TypeError),
    "search strided embeddings": (velk.search, (NP_QUERIES, NP_EMBEDDINGS[::2], 1), None, ValueError),
    "search int16 embeddings": (velk.search, (NP_QUERIES, NP_EMBEDDINGS.astype(np.int16), 1), None, TypeError),
    "search strided float16": (velk.search, (NP_QUERIES, NP_EMBEDDINGS.astype(np.float16)[::2], 1), None, ValueError),
    "search wrong dim": (velk.search, (NP_QUERIES[:, :4], NP_EMBEDDINGS, 1), None, ValueError),
    "search str queries": (velk.search, (["a"] * 8, NP_EMBEDDINGS, 1), None, TypeError),
    "search negative k": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, -1), None, ValueError),
    "search threads 0": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 1), {"threads": 0}, ValueError),
    "search float where": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 1), {"where": NP_EMBEDDINGS[:, 0]}, TypeError),
    "search short where": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 1), {"where": np.ones(5, bool)}, ValueError),
    "search rows out of range": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 1), {"rows": [1, 20_000]}, IndexError),
    "search where and rows": (velk.search, (NP_QUERIES, NP_EMBEDDINGS, 1), {"where": [True], "rows": [0]}, TypeError),
    "native search bad offsets": (
        velk._native.search,
        (NP_QUERIES, NP_EMBEDDINGS, 2, None, None, np.array([1, 0]), np.array([0, 2]), None),
        None,
        ValueError,
    ),
    "native search bad k": (
        velk._native.search,
        (NP_QUERIES, NP_EMBEDDINGS, 2.5, None, None, None, None, None),
        None,
        TypeError,
    ),
    "native search wrong dim": (
        velk._native.search,
        (NP_QUERIES[:, :4], NP_EMBEDDINGS, 2, None, None, None, None, None),
        None,
        ValueError,
    ),
    "native search negative threads": (
        velk._native.search,
        (NP_QUERIES, NP_EMBEDDINGS, 2, -(2**80), None, None, None, None),
        None,
        ValueError,
    ),
    # panics
    "dim 0 lists": (_velk.top_k_flat, (QUERY16, FLAT, 0, 5), None, PanicException),
    "dim 0 buffers": (_velk.top_k_flat_np, (NP_QUERY, NP_EMBEDDINGS, 0, 5), None, PanicException),
    "capacity overflow": (
        _velk.top_k,
        ([1.0], type("Huge", (Seq,), {"__len__": lambda self: 2**60})([[1.0]]), 1),
        None,
        PanicException,
    ),
}
if ml_dtypes is not None:
    ERRORS["search strided bfloat16"] = (
        velk.search,
        (NP_QUERIES, NP_EMBEDDINGS.astype(ml_dtypes.bfloat16)[::2], 1),
        None,
        ValueError,
    )
    ERRORS["search float8"] = (
        velk.search,
        (NP_QUERIES, NP_EMBEDDINGS.astype(ml_dtypes.float8_e4m3fn), 1),
        None,
        TypeError,
    )


@pytest.mark.parametrize("name", list(ERRORS))
def test_error_paths_do_not_leak(name):
    function, args, kwargs, error = ERRORS[name]
    # Panics write a report per call; fewer calls keep the captured output small.
    assert_no_leak(function, args, kwargs, error, calls=CALLS if error is not PanicException else CALLS // 3)


def test_a_resumed_panic_from_python_code_does_not_leak(capfd):
    try:
        _velk.top_k_flat([1.0], [1.0], 0, 1)
    except BaseException as caught:  # noqa: BLE001
        panic = caught
    # The same instance each time, with a fresh traceback, as a caller that keeps it would raise it.
    element = RaisingFloat(lambda: panic.with_traceback(None))
    # Each call prints the Python traceback of the resumed panic, so fewer calls.
    assert_no_leak(_velk.cosine_similarity, ([element], [1.0]), error=PanicException, calls=max(CALLS // 10, 50))
    assert "Python stack trace below" in capfd.readouterr().err


MEMORY_ERRORS = """
import ctypes, json, resource, sys
import numpy as np
import _velk
import velk
class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
mallinfo2 = ctypes.CDLL(None).mallinfo2
mallinfo2.restype = MallInfo2
heap = lambda: mallinfo2().uordblks + mallinfo2().hblkhd
row = [1.0] * 250_000
rows = [row] * 2_000           # 2 GB of floats once converted; the list itself is small
flat = [1.0] * 12_000_000      # 48 MB of floats once converted
query, wide = np.ones(1, np.float32), np.ones(8_000_000, np.float32)  # every row wanted: 128 MB of scored rows
many = np.ones(400_000, np.float32)  # 13 MB to score and rank, 48 MB of result objects
_velk.top_k_flat_np(query, many, 1, 1)  # the workers start before the limit: their start is not measured here
velk.search(query, many.reshape(-1, 1), 1)  # velk.search's own workers too
# Binary: each text-mode open keeps one small object in this interpreter.
statm = lambda: [int(x) * 4096 for x in open("/proc/self/statm", "rb").read().split()[:2]]
limit = statm()[0] + 32 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
def run(function, *args):
    try:
        function(*args)
        return "returned"
    except MemoryError:
        return "MemoryError"
calls = [lambda: run(_velk.top_k, [1.0], rows, 1), lambda: run(_velk.top_k_flat, [1.0], flat, 1, 1),
         lambda: run(_velk.cosine_similarity, flat, [1.0]), lambda: run(_velk.top_k_flat_np, query, wide, 1, 8_000_000),
         lambda: run(velk.search, query, wide.reshape(-1, 1), 2_000_000)]  # 24 MB of results, 64 MB kept hits
def result_too_large():
    # A limit of its own, from the size right before the call: room to score
    # and rank, not for the result, whatever the other calls left mapped.
    resource.setrlimit(resource.RLIMIT_AS, (statm()[0] + 24 * 2**20, resource.RLIM_INFINITY))
    try:
        return run(_velk.top_k_flat_np, query, many, 1, 400_000)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
calls.append(result_too_large)
outcomes = [call() for call in calls for _ in range(2)]  # warm-up
watched = (row, rows, flat, query, wide, many, MemoryError)
counts = [sys.getrefcount(o) for o in watched]
resident, in_use, blocks = statm()[1], heap(), sys.getallocatedblocks()
outcomes += [call() for call in calls for _ in range({calls})]
blocks_growth = sys.getallocatedblocks() - blocks
print(json.dumps({{
    "outcomes": sorted(set(outcomes)),
    "counts_same": counts == [sys.getrefcount(o) for o in watched],
    "resident_growth": statm()[1] - resident,
    "heap_growth": heap() - in_use,
    "blocks_growth": blocks_growth,
    "after": _velk.top_k([1.0], [[1.0], [2.0]], 1),
}}))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer reserves terabytes of address space")
def test_memory_errors_do_not_leak():
    # Native allocations refused under an address-space limit become MemoryError
    # (row vectors, a flat vector, the scored rows of a zero-copy call), and so
    # does a result list whose ints, floats and tuples do not fit; the partial
    # vectors and the part of the result already made are freed, nothing is
    # printed, and later calls work.
    calls = max(CALLS // 300, 5)
    completed = run_python(MEMORY_ERRORS.format(calls=calls))
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == ""
    report = json.loads(completed.stdout)
    assert report["outcomes"] == ["MemoryError"]
    assert report["counts_same"]
    # Freed vectors may stay mapped in the allocator, so resident memory can rise
    # once; memory still in use must not, and neither may resident memory beyond
    # what one failed call touches.
    assert report["heap_growth"] < 64 * 1024
    # Python objects live outside the C heap; one of them left behind by each
    # call of one path breaks this bound.
    assert report["blocks_growth"] < calls
    assert report["resident_growth"] < 48 * 2**20
    assert report["after"] == [[0, 1.0]]
