"""Benchmarks of _velk and velk.search against numpy and faiss on the same data, in one run.

Every figure is the median of several timed runs inside one process; the
competitors of one comparison are timed in turns (a, b, c, a, b, c, ...) so
that a noisy machine disturbs them alike. Each comparison runs in its own
subprocess, with a controlled environment:

  - OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, which some machines set to pin an
    older OpenBLAS kernel, are removed together so that numpy runs its current
    kernel; the BLAS that actually ran is reported (threadpoolctl);
  - RAYON_NUM_THREADS is set per subprocess for the thread-scaling figure.

Prints a table, writes benchmarks/results/results.txt, results.json and
results.png, and docs/benchmarks.md (with the speed summary in README.md) from
them. Usage: python benchmarks/run.py [--quick]

`--from-results` runs nothing: it writes results.txt, docs/benchmarks.md and
README's summary again from results.json, after a change to how they are
written.
"""

import argparse
import json
import math
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
DOCS_PAGE = HERE.parent / "docs" / "benchmarks.md"
README = HERE.parent / "README.md"
# Built by `make bench` (the Makefile's host check build): its `read` mode times
# a plain read of an array (benchmarks/plain_read.cpp), the floor for any scorer.
KERNEL_CHECK = Path(os.environ.get("VELK_CHECKS_DIR", HERE.parent / "build" / "checks")) / "kernel_check"
BLAS_PINNING = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")

# Single-query search over float32 arrays, small to large; each shape runs on
# one and on two threads, beside the plain-read floor of the same array.
FLAT_SHAPES = [(10_000, 128), (20_000, 768), (50_000, 1_536), (100_000, 384), (300_000, 128), (1_000_000, 768)]
FLAT_THREADS = ("1", "2")
LIST_SHAPES = [(10_000, 128), (1_000, 768)]
SHORT_LENGTHS = [3, 16, 128]
# Thread scaling in cache: about 4 MB, half of it in each core's 2 MB L2 with
# two workers. The last shape, 7.7 MB, spills into the shared L3, whose
# bandwidth both cores split, and shows what happens beyond the L2s.
THREAD_SHAPES = [(10_000, 96), (2_600, 384), (1_300, 768), (5_000, 384)]
# Many queries in one call: velk.search, faiss and numpy at each batch size.
BATCH_SHAPE = (1_000_000, 768)
BATCH_SIZES = [1, 4, 16, 64, 256]
K = 10
# Compact storage: each type searched in place beside the float32 search of the
# same values and the plain read of its own bytes, on 1 and 2 threads; then 64
# queries per call. The targets the figures are held to are reported with them.
STORAGE_KINDS = ["float32", "float16", "bfloat16", "int8", "uint8"]
STORAGE_SHAPES = [(1_000_000, 768), (100_000, 384)]
STORAGE_THREADS = (1, 2)
STORAGE_QUERIES = 64
# velk's time against the plain read of the same bytes, at most; and the
# float32 search's time against the compact one's, at least.
READ_TARGET = 1.15
SPEED_TARGETS = {"float16": 1.8, "bfloat16": 1.8, "int8": 3.0, "uint8": 3.0}
# The row scorer alone, on one core, over this many rows that stay in cache
# (kernel_check bench): what the arithmetic costs when reading costs nothing.
IN_CACHE_ROWS = 4_000
PLAIN_READ_SOURCE = HERE / "plain_read.cpp"
PLAIN_READ_LIBRARY = HERE.parent / "build" / "bench" / "libplain_read.so"


# ---------------------------------------------------------------- measuring


def interleaved_medians(functions, repeats, warmup=1, settle=0.0, before=None):
    """Runs every function `warmup` times, then `repeats` rounds of one call
    each in turn; returns the median seconds per function. `settle` seconds of
    sleep before each timed call let the threads of the call before go idle
    (OpenBLAS and OpenMP workers spin for a while after their work, and would
    take a core from whatever runs next). `before`, if given, runs untimed
    before each timed call."""
    for f in functions.values():
        for _ in range(warmup):
            f()
    times = {name: [] for name in functions}
    for _ in range(repeats):
        for name, f in functions.items():
            if before is not None:
                before()
            time.sleep(settle)
            start = time.perf_counter()
            f()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def last_level_cache_bytes():
    """The largest processor cache's size in bytes (Linux's sysfs), or None."""
    sizes = []
    for entry in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*/size"):
        text = entry.read_text().strip()
        units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
        if text and text[-1] in units and text[:-1].isdigit():
            sizes.append(int(text[:-1]) * units[text[-1]])
    return max(sizes) if sizes else None


def cache_evicter(np):
    """A function that reads twice the last-level cache's size of other memory,
    so that the call timed after it reads its rows from memory. Without it a
    contestant could find its rows in a cache of hundreds of megabytes, left
    there by the call before (numpy's E[mask] reads the very rows faiss's
    selector search reads next)."""
    size = min(max(2 * (last_level_cache_bytes() or 0), 64 << 20), 2 << 30)
    other = np.ones(size // 4, dtype=np.float32)
    return lambda: float(other.sum())


def processor_times():
    """(all, idle) processor time in seconds since boot, summed over processors."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    tick = os.sysconf("SC_CLK_TCK")
    return sum(values) / tick, (values[3] + values[4]) / tick  # idle + iowait


def busy_share(seconds=0.5):
    """The share of all processors' time spent outside idle over `seconds`."""
    total0, idle0 = processor_times()
    time.sleep(seconds)
    total1, idle1 = processor_times()
    return 1.0 - (idle1 - idle0) / max(1e-9, total1 - total0)


def wait_for_quiet(limit=0.15, timeout=120.0):
    """Other work on the machine skews every ratio, the thread figure most:
    waits (up to `timeout`) until the processors are nearly idle, and returns
    the busy share measured last."""
    if not os.path.exists("/proc/stat"):
        return None
    deadline = time.monotonic() + timeout
    share = busy_share()
    while share > limit and time.monotonic() < deadline:
        share = busy_share(2.0)
    return share


def per_call_medians(functions, repeats, number):
    """For very short calls: rounds of `number` calls, median per call."""
    times = {name: [] for name in functions}
    for _ in range(repeats):
        for name, f in functions.items():
            start = time.perf_counter()
            for _ in range(number):
                f()
            times[name].append((time.perf_counter() - start) / number)
    return {name: statistics.median(t) for name, t in times.items()}


def numpy_recipe(np, q, e, k):
    """The usual numpy cosine top-k: E @ q over row norms and the query norm,
    argpartition, then a sort of the k."""
    scores = (e @ q) / (np.linalg.norm(e, axis=1) * np.linalg.norm(q))
    best = np.argpartition(-scores, k)[:k]
    return best[np.argsort(-scores[best])]


def random_rows(np, n, dim, seed=0):
    rng = np.random.default_rng(seed)
    e = np.empty((n, dim), dtype=np.float32)
    step = max(1, (1 << 24) // dim)
    for i in range(0, n, step):
        e[i : i + step] = rng.standard_normal((min(step, n - i), dim), dtype=np.float32)
    return e, rng.standard_normal(dim, dtype=np.float32)


def normalized_index(faiss, e):
    """A faiss IndexFlatIP of e's rows normalised, added 100,000 at a time,
    and a numpy view of faiss's own copy of them."""
    n, dim = e.shape
    index = faiss.IndexFlatIP(dim)
    for i in range(0, n, 100_000):
        block = e[i : i + 100_000].copy()
        faiss.normalize_L2(block)
        index.add(block)
    return index, faiss.rev_swig_ptr(index.get_xb(), n * dim).reshape(n, dim)


def blas_in_use():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return ["unknown (threadpoolctl is not installed)"]
    return [
        f"{i.get('internal_api')} {i.get('version')} {i.get('architecture')} x{i.get('num_threads')}"
        for i in threadpool_info()
        if i.get("user_api") == "blas"
    ]


# ---------------------------------------------------------------- sections (run in subprocesses)


def section_flat(n, dim, repeats):
    import faiss
    import numpy as np

    import _velk

    e, q = random_rows(np, n, dim)
    functions = {
        "top_k_flat_np": lambda: _velk.top_k_flat_np(q, e, dim, K),
        "numpy recipe": lambda: numpy_recipe(np, q, e, K),
        "E @ q": lambda: e @ q,
    }
    # faiss on rows normalised beforehand; only the search is timed.
    index = faiss.IndexFlatIP(dim)
    for i in range(0, n, 100_000):
        block = e[i : i + 100_000].copy()
        faiss.normalize_L2(block)
        index.add(block)
    qn = (q / np.linalg.norm(q)).reshape(1, -1).astype(np.float32)
    functions["faiss IndexFlatIP"] = lambda: index.search(qn, K)
    # Pauses between the calls: after a call on two threads, OpenBLAS's and
    # OpenMP's workers spin for a while and would take a core from the next
    # competitor (measured: top_k_flat_np right after E @ q took 4.6 to 10 ms
    # instead of 3.1 to 3.6 ms at 100,000 x 384).
    medians = interleaved_medians(functions, repeats, settle=0.25)
    # The same top k as numpy, as a sanity check of what is being timed.
    ours = [i for i, _ in _velk.top_k_flat_np(q, e, dim, K)]
    theirs = numpy_recipe(np, q, e, K).tolist()
    return {
        "n": n,
        "dim": dim,
        "threads": os.environ.get("RAYON_NUM_THREADS"),
        "seconds": medians,
        "same_top_k_as_numpy": ours == theirs,
        "blas": blas_in_use(),
        "faiss_threads": faiss.omp_get_max_threads(),
    }


def section_lists(n, dim, repeats):
    import numpy as np

    import _velk

    e, q = random_rows(np, n, dim)
    flat, rows, query = e.ravel().tolist(), e.tolist(), q.tolist()
    del e

    def numpy_from_flat():
        return numpy_recipe(
            np, np.asarray(query, dtype=np.float32), np.asarray(flat, dtype=np.float32).reshape(-1, dim), K
        )

    def numpy_from_rows():
        return numpy_recipe(np, np.asarray(query, dtype=np.float32), np.asarray(rows, dtype=np.float32), K)

    medians = interleaved_medians(
        {
            "top_k_flat (lists)": lambda: _velk.top_k_flat(query, flat, dim, K),
            "np.asarray + recipe (flat list)": numpy_from_flat,
            "top_k (list of lists)": lambda: _velk.top_k(query, rows, K),
            "np.asarray + recipe (list of lists)": numpy_from_rows,
        },
        repeats,
    )
    return {"n": n, "dim": dim, "seconds": medians}


def section_short(length, repeats):
    import random

    import _velk

    rng = random.Random(length)
    a = [rng.uniform(-1, 1) for _ in range(length)]
    b = [rng.uniform(-1, 1) for _ in range(length)]
    cosine, dist = _velk.cosine_similarity, math.dist
    medians = per_call_medians(
        {
            "cosine_similarity": lambda: cosine(a, b),
            "math.dist": lambda: dist(a, b),
        },
        repeats,
        number=20_000,
    )
    return {"length": length, "seconds": medians}


def section_threads(n, dim, repeats):
    import numpy as np

    import _velk

    e, q = random_rows(np, n, dim)
    call = lambda: _velk.top_k_flat_np(q, e, dim, K)  # noqa: E731
    # A steady stream of calls, as a server sees: on this virtual machine the
    # wake-up of an idle processor gets much faster after a few hundred
    # milliseconds of frequent sleeps and wake-ups, and a short run measures
    # that transient instead of the pool.
    deadline = time.perf_counter() + 1.0
    while time.perf_counter() < deadline:
        call()
    medians = interleaved_medians({"top_k_flat_np": call}, repeats, warmup=0)
    return {"n": n, "dim": dim, "threads": os.environ.get("RAYON_NUM_THREADS"), "seconds": medians}


def numpy_batch(np, queries, normalized, k):
    """numpy's batch top-k on rows and queries normalised beforehand: one
    matrix product, argpartition per row, then a sort of the k."""
    scores = queries @ normalized.T
    best = np.argpartition(-scores, k, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(scores, best, axis=1), axis=1)
    return np.take_along_axis(best, order, axis=1)


def section_batch(n, dim, repeats):
    import faiss
    import numpy as np

    import _velk
    import velk

    e, _ = random_rows(np, n, dim)
    queries = np.random.default_rng(1).standard_normal((max(BATCH_SIZES), dim), dtype=np.float32)
    # faiss and numpy get rows and queries normalised beforehand (numpy reads
    # faiss's own copy); only the searches are timed.
    index, normalized = normalized_index(faiss, e)
    unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    seconds = {}
    for size in BATCH_SIZES:
        q, unit = queries[:size], unit_queries[:size]
        functions = {
            "velk.search": lambda q=q: velk.search(q, e, K),
            "faiss IndexFlatIP": lambda unit=unit: index.search(unit, K),
            "numpy Q @ E.T": lambda unit=unit: numpy_batch(np, unit, normalized, K),
        }
        if size == 1:
            # One call per query, as before velk.search; timed alike.
            functions["top_k_flat_np"] = lambda: _velk.top_k_flat_np(queries[0], e, dim, K)
        seconds[size] = interleaved_medians(functions, repeats if size < 64 else max(3, repeats - 4), settle=0.25)
    single = seconds[1].pop("top_k_flat_np")
    # What is being timed is right: every row of a batch is its single-query call.
    batch = velk.search(queries[:16], e, K)
    exact = all(
        [(int(i), float(s)) for i, s in zip(batch.indices[r], batch.scores[r], strict=True)]
        == _velk.top_k_flat_np(queries[r], e, dim, K)
        for r in range(16)
    )
    same_as_faiss = float(np.mean(batch.indices == index.search(unit_queries[:16], K)[1]))
    return {
        "n": n,
        "dim": dim,
        "seconds": {str(size): t for size, t in seconds.items()},
        "top_k_flat_np": single,
        "rows_equal_single_calls": exact,
        "share_of_faiss_indices": same_as_faiss,
        "blas": blas_in_use(),
        "faiss_threads": faiss.omp_get_max_threads(),
    }


SUBSET_FRACTIONS = [0.01, 0.1, 0.5]
SUBSET_QUERIES = 64
RERANK_CANDIDATES = 1_000


def subset_mask(np, n, fraction, contiguous, rng):
    """A filter keeping `fraction` of n rows: at random, or in runs of 1,000
    consecutive rows placed at random (as a date range or a tenant would)."""
    if not contiguous:
        return rng.random(n) < fraction
    mask = np.zeros(n, bool)
    runs = n // 1_000
    for run in rng.choice(runs, size=max(1, round(runs * fraction)), replace=False):
        mask[run * 1_000 : (run + 1) * 1_000] = True
    return mask


def numpy_subset(np, normalized, mask, unit, k):
    """numpy's filtered top-k: E[mask] @ q, argpartition, a sort of the k, row numbers."""
    rows = np.flatnonzero(mask)
    scores = normalized[rows] @ unit
    best = np.argpartition(-scores, k)[:k]
    return rows[best[np.argsort(-scores[best])]]


def numpy_shared_subset(np, normalized, mask, units, k):
    rows = np.flatnonzero(mask)
    return rows[numpy_batch(np, units, normalized[rows], k)]


def numpy_rerank(np, normalized, candidates, units, k):
    """Exact re-ranking with numpy: the candidates' rows gathered, einsum, argpartition per query."""
    scores = np.einsum("qcd,qd->qc", normalized[candidates], units)
    best = np.argpartition(-scores, k, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(scores, best, axis=1), axis=1)
    return np.take_along_axis(candidates, np.take_along_axis(best, order, axis=1), axis=1)


def section_subset(n, dim, repeats):
    import numpy as np

    import velk

    try:
        import faiss
    except ImportError:
        faiss = None

    rng = np.random.default_rng(3)
    e, q = random_rows(np, n, dim)
    queries = rng.standard_normal((SUBSET_QUERIES, dim), dtype=np.float32)
    unit = q / np.linalg.norm(q)
    units = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    if faiss is not None:
        # faiss gets normalised rows and queries, and numpy and velk read
        # faiss's copy of the rows; only the searches are timed, each selector
        # made beforehand.
        index, normalized = normalized_index(faiss, e)
    else:
        normalized = e / np.linalg.norm(e, axis=1, keepdims=True)

    # Every contestant reads the same rows, in the same memory: where rows are
    # scattered, a search waits on memory, and two copies of a collection can
    # sit in memory that answers at different speeds. And every timed call
    # reads its rows from memory, as a search over a collection far larger
    # than the caches does.
    evict = cache_evicter(np)

    def kept_copy(kept):
        """A copy of the kept rows in memory of the same kind as the rows read
        in place (faiss's own, when faiss holds them), and what keeps it alive:
        the pages of numpy's large arrays and of faiss's differ in size, and a
        search of scattered or short runs of rows pays for every page."""
        if faiss is None:
            return np.ascontiguousarray(kept), None
        holder = faiss.IndexFlatIP(dim)
        holder.add(kept)
        return faiss.rev_swig_ptr(holder.get_xb(), kept.size).reshape(kept.shape), holder

    def bitmap_params(mask):
        bits = np.packbits(mask, bitorder="little")
        return faiss.SearchParameters(sel=faiss.IDSelectorBitmap(n, faiss.swig_ptr(bits))), bits

    single = {}
    exact = True
    for contiguous in (False, True):
        for fraction in SUBSET_FRACTIONS:
            mask = subset_mask(np, n, fraction, contiguous, rng)
            copy, holder = kept_copy(normalized[mask])
            functions = {
                "velk.search where=": lambda mask=mask: velk.search(q, normalized, K, where=mask),
                "velk.search of a copy": lambda copy=copy: velk.search(q, copy, K),
                "numpy E[mask] @ q": lambda mask=mask: numpy_subset(np, normalized, mask, unit, K),
            }
            if faiss is not None:
                params, bits = bitmap_params(mask)
                functions["faiss IDSelectorBitmap"] = lambda params=params, bits=bits: index.search(
                    unit[None], K, params=params
                )
            name = f"{'contiguous' if contiguous else 'random'} {fraction:g}"
            single[name] = interleaved_medians(functions, repeats, settle=0.25, before=evict)
            got = velk.search(q, normalized, K, where=mask)
            exact &= bool((got.indices == np.flatnonzero(mask)[velk.search(q, copy, K).indices]).all())
            del copy, holder
    unfiltered = interleaved_medians(
        {"velk.search": lambda: velk.search(q, normalized, K)}, repeats, settle=0.25, before=evict
    )

    candidates = rng.integers(0, n, (SUBSET_QUERIES, RERANK_CANDIDATES))
    functions = {
        "velk.search rows=": lambda: velk.search(queries, normalized, K, rows=candidates),
        "numpy einsum over E[rows]": lambda: numpy_rerank(np, normalized, candidates, units, K),
    }
    if faiss is not None:
        selectors = [
            faiss.SearchParameters(sel=faiss.IDSelectorBatch(len(row), faiss.swig_ptr(row)))
            for row in [np.ascontiguousarray(r, dtype=np.int64) for r in candidates]
        ]
        functions[f"faiss, {SUBSET_QUERIES} calls with IDSelectorBatch"] = lambda: [
            index.search(units[i : i + 1], K, params=selectors[i]) for i in range(SUBSET_QUERIES)
        ]
    rerank = interleaved_medians(functions, repeats, settle=0.25, before=evict)

    mask = subset_mask(np, n, 0.1, False, rng)
    functions = {
        "velk.search where=": lambda: velk.search(queries, normalized, K, where=mask),
        "numpy E[mask] @ Q.T": lambda: numpy_shared_subset(np, normalized, mask, units, K),
    }
    if faiss is not None:
        params, bits = bitmap_params(mask)
        functions["faiss IDSelectorBitmap"] = lambda: index.search(units, K, params=params)
    shared = interleaved_medians(functions, repeats, settle=0.25, before=evict)
    return {
        "n": n,
        "dim": dim,
        "single": single,
        "unfiltered": unfiltered["velk.search"],
        "rerank": rerank,
        "shared": shared,
        "equal_to_the_copy": exact,
        "faiss": faiss is not None,
        "blas": blas_in_use(),
    }


def plain_reader():
    """velk_plain_read from benchmarks/plain_read.cpp, compiled here when the
    library is missing or older than its source, as a function (array,
    threads) that reads the array's bytes; ctypes releases the interpreter
    lock for the call."""
    import ctypes

    if not PLAIN_READ_LIBRARY.exists() or PLAIN_READ_LIBRARY.stat().st_mtime < PLAIN_READ_SOURCE.stat().st_mtime:
        PLAIN_READ_LIBRARY.parent.mkdir(parents=True, exist_ok=True)
        compiler = os.environ.get("CXX", "c++")
        subprocess.run(
            [
                compiler,
                "-O2",
                "-std=c++17",
                "-shared",
                "-fPIC",
                "-pthread",
                str(PLAIN_READ_SOURCE),
                "-o",
                str(PLAIN_READ_LIBRARY),
            ],
            check=True,
        )
    library = ctypes.CDLL(str(PLAIN_READ_LIBRARY))
    read = library.velk_plain_read
    read.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    read.restype = ctypes.c_uint64
    return lambda array, threads: read(array.ctypes.data, array.nbytes, threads)


def stored_rows(np, kind, n, dim, seed=0):
    """n x dim values of the kind, made block by block: normal values rounded
    to the floating types, uniform integers over the whole range for int8 and
    uint8."""
    rng = np.random.default_rng(seed)
    if kind == "bfloat16":
        import ml_dtypes

        dtype = np.dtype(ml_dtypes.bfloat16)
    else:
        dtype = np.dtype(kind)
    e = np.empty((n, dim), dtype=dtype)
    step = max(1, (1 << 24) // dim)
    for i in range(0, n, step):
        size = min(step, n - i)
        if dtype.kind in "iu":
            info = np.iinfo(dtype)
            e[i : i + size] = rng.integers(info.min, int(info.max) + 1, (size, dim), dtype=dtype)
        else:
            e[i : i + size] = rng.standard_normal((size, dim), dtype=np.float32).astype(dtype)
    return e


def widened(np, e):
    """The float32 copy of the same values, block by block."""
    wide = np.empty(e.shape, dtype=np.float32)
    step = max(1, (1 << 24) // e.shape[1])
    for i in range(0, len(e), step):
        wide[i : i + step] = e[i : i + step].astype(np.float32)
    return wide


def faiss_fp16_index(faiss, np, wide):
    """faiss's fp16 scalar quantizer over the normalised rows, for inner product."""
    n, dim = wide.shape
    index = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_fp16, faiss.METRIC_INNER_PRODUCT)
    for i in range(0, n, 100_000):
        block = wide[i : i + 100_000].copy()
        faiss.normalize_L2(block)
        if not index.is_trained:
            index.train(block)
        index.add(block)
    return index


def section_storage(kind_number, n, dim, repeats):
    import numpy as np

    import velk

    try:
        import faiss
    except ImportError:
        faiss = None
    kind = STORAGE_KINDS[kind_number]
    read = plain_reader()
    e = stored_rows(np, kind, n, dim)
    wide = e if kind == "float32" else widened(np, e)
    rng = np.random.default_rng(1)
    queries = rng.standard_normal((STORAGE_QUERIES, dim), dtype=np.float32)
    q = queries[0]
    ours = f"velk.search {kind}"
    index = faiss_fp16_index(faiss, np, wide) if faiss is not None and kind == "float16" else None
    units = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    single = {}
    for threads in STORAGE_THREADS:
        functions = {ours: lambda t=threads: velk.search(q, e, K, threads=t)}
        if kind != "float32":
            functions["velk.search float32"] = lambda t=threads: velk.search(q, wide, K, threads=t)
        functions[f"plain read {kind}"] = lambda t=threads: read(e, t)
        if kind != "float32":
            functions["plain read float32"] = lambda t=threads: read(wide, t)
        if index is not None:
            functions["faiss SQ fp16"] = lambda t=threads: (faiss.omp_set_num_threads(t), index.search(units[:1], K))
        single[str(threads)] = interleaved_medians(functions, repeats, settle=0.1)
    if index is not None:
        faiss.omp_set_num_threads(max(STORAGE_THREADS))
    many = {ours: lambda: velk.search(queries, e, K)}
    if kind != "float32":
        many["velk.search float32"] = lambda: velk.search(queries, wide, K)
    if index is not None:
        many["faiss SQ fp16"] = lambda: index.search(units, K)
    batch = interleaved_medians(many, max(3, repeats // 2), settle=0.25)
    # What is being timed is right: the compact search gives the float32 one, bit for bit.
    got, want = velk.search(queries[:8], e, K), velk.search(queries[:8], wide, K)
    exact = got.indices.tobytes() == want.indices.tobytes() and got.scores.tobytes() == want.scores.tobytes()
    result = {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "kind": kind,
        "n": n,
        "dim": dim,
        "bytes": int(e.nbytes),
        "single": single,
        "batch": batch,
        "equal_to_float32": exact,
        "faiss": index is not None,
    }
    in_cache = scorer_in_cache(kind, dim)
    if in_cache is not None:
        result["in_cache"] = in_cache
    if index is not None:
        theirs = index.search(units, K)[1]
        mine = velk.search(queries, e, K).indices
        result["faiss_same_position"] = float(np.mean(theirs == mine))
        result["faiss_same_set"] = float(np.mean([len(set(a) & set(b)) / K for a, b in zip(theirs, mine, strict=True)]))
    return result


def scorer_in_cache(kind, dim, runs=5):
    """{"level": name, "seconds": s}: the fastest of `runs` kernel_check benches
    of the row scorer velk dispatches to (the widest level it prints, the last)
    over IN_CACHE_ROWS rows of `kind`, seconds per row; None without
    kernel_check."""
    if not KERNEL_CHECK.exists():
        return None
    best = None
    for _ in range(runs):
        done = subprocess.run(
            [str(KERNEL_CHECK), "bench", str(IN_CACHE_ROWS), str(dim), kind], capture_output=True, text=True
        )
        levels = re.findall(rf"^(\S+)\s+{kind}\s+([\d.]+) ms", done.stdout, re.MULTILINE)
        if not levels:
            return None
        level, ms = levels[-1]
        seconds = float(ms) / 1e3 / IN_CACHE_ROWS
        if best is None or seconds < best["seconds"]:
            best = {"level": level, "seconds": seconds}
    return best


SECTIONS = {
    "batch": section_batch,
    "flat": section_flat,
    "lists": section_lists,
    "short": section_short,
    "storage": section_storage,
    "subset": section_subset,
    "threads": section_threads,
}
SUBSET_SHAPE = (1_000_000, 768)


# ---------------------------------------------------------------- driver


def plain_read_floor(n, dim):
    """Median seconds of a plain read of an n x dim float32 array on 1 and on 2
    threads ({"1": s, "2": s}), or {} when kernel_check is not built."""
    if not KERNEL_CHECK.exists():
        return {}
    wait_for_quiet()
    done = subprocess.run([str(KERNEL_CHECK), "read", str(n), str(dim)], capture_output=True, text=True)
    floor = {}
    for threads, milliseconds in re.findall(r"plain read, (\d) thread\(s\): median\s+([\d.]+) ms", done.stdout):
        floor[threads] = float(milliseconds) / 1e3
    return floor


def benchmark_environment():
    env = dict(os.environ)
    removed = [name for name in BLAS_PINNING if name in env]
    if removed:
        for name in BLAS_PINNING:
            env.pop(name, None)
    return env, removed


def run_section(name, args, env, extra_env=None):
    env = dict(env)
    env.update(extra_env or {})
    busy_before = wait_for_quiet()
    command = [sys.executable, __file__, "--section", name, *map(str, args)]
    children_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    total_before, idle_before = processor_times()
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    total_after, idle_after = processor_times()
    children_after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        raise SystemExit(f"benchmark section {name} {args} failed")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    # Busy time of other processes while the section ran: all busy time minus
    # the section's own (setup included, so this is a rough upper bound).
    own = sum(getattr(children_after, f) - getattr(children_before, f) for f in ("ru_utime", "ru_stime"))
    busy = (total_after - total_before) - (idle_after - idle_before)
    result["busy_before"] = busy_before
    result["others_during"] = max(0.0, busy - own) / max(1e-9, total_after - total_before)
    print(
        f"  {name} {' '.join(map(str, args))}: machine busy {100 * (busy_before or 0):.0f}% before, "
        f"others {100 * result['others_during']:.0f}% during",
        file=sys.stderr,
    )
    return result


def run_storage(shapes, repeats, env):
    """Every storage type on every shape, each in a process of its own."""
    return [
        run_section("storage", [number, n, dim, repeats if n < 1_000_000 else max(3, repeats - 2)], env)
        for n, dim in shapes
        for number in range(len(STORAGE_KINDS))
    ]


def storage_figures(r):
    """Per thread count, the ratios the targets are about: velk's time over the
    plain read of the same bytes, and the float32 search's time over velk's."""
    ours = f"velk.search {r['kind']}"
    compact = r["kind"] != "float32"  # float32 has no other search to be compared with
    figures = {}
    for threads, seconds in r["single"].items():
        t = seconds[ours]
        figures[threads] = {
            "seconds": t,
            "read": t / seconds[f"plain read {r['kind']}"],
            "speed_up": seconds["velk.search float32"] / t if compact else None,
        }
    batch = r["batch"]
    many = batch["velk.search float32"] / batch[ours] if compact else None
    return figures, many


def storage_verdicts(r):
    """(target, figure, met) for each target of one storage type and shape."""
    figures, many = storage_figures(r)
    verdicts = []
    for threads, f in figures.items():
        verdicts.append(
            (
                f"{threads} thread(s): within {READ_TARGET}x of the plain read",
                f"{f['read']:.2f}x",
                f["read"] <= READ_TARGET,
            )
        )
        target = SPEED_TARGETS.get(r["kind"])
        if target is not None:
            verdicts.append(
                (
                    f"{threads} thread(s): at least {target}x faster than float32",
                    f"{f['speed_up']:.2f}x",
                    f["speed_up"] >= target,
                )
            )
    if many is not None:
        verdicts.append((f"{STORAGE_QUERIES} queries: at least as fast as float32", f"{many:.2f}x", many >= 1.0))
    return verdicts


def ms(seconds):
    return f"{seconds * 1e3:10.3f} ms"


def ns(seconds):
    return f"{seconds * 1e9:8.1f} ns"


def machine_record(removed):
    """Where and when the figures were taken, stored with them in results.json."""
    cpu = None
    flags = set()
    try:
        with open("/proc/cpuinfo") as f:
            lines = f.read().splitlines()
        cpu = next((line.split(":", 1)[1].strip() for line in lines if line.startswith("model name")), None)
        first = next((line for line in lines if line.split(":", 1)[0].strip() in ("flags", "Features")), "")
        flags = set(first.split(":", 1)[-1].split())
    except OSError:
        pass
    # The widest vector instructions the kernels can pick here, which set the
    # pace of the compact types: their ratios differ between AVX2 and AVX-512.
    vector = next(
        (
            name
            for flag, name in (
                ("avx512_vnni", "AVX-512 with VNNI"),
                ("avx512f", "AVX-512"),
                ("avx2", "AVX2"),
                ("asimd", "NEON"),
                ("sse2", "SSE2"),
            )
            if flag in flags
        ),
        None,
    )
    return {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "processors": os.cpu_count(),
        "cpu": cpu or platform.processor() or None,
        "vector": vector,
        "system": f"{platform.system()} {platform.machine()}",
        "python": platform.python_version(),
        "removed_from_environment": removed,
    }


def report(results):
    machine = results["machine"]
    removed = machine.get("removed_from_environment")
    lines = []
    add = lines.append
    add(f"_velk benchmarks, {machine['date']}, {machine['processors']} processors")
    add("every figure: median of interleaved runs in one process; ratio = time / time of _velk")
    if removed:
        add(f"removed from the benchmark environment: {', '.join(removed)}")
    for r in results.get("batch", []):
        add("")
        add(f"velk.search, many queries in one call, k={K}, float32 {r['n']:,} x {r['dim']}  {conditions(r)}")
        add(
            f"  (BLAS: {'; '.join(r['blas'])}; faiss threads {r['faiss_threads']}; every row equal to its "
            f"single-query call: {r['rows_equal_single_calls']}; same indices as faiss: "
            f"{100 * r['share_of_faiss_indices']:.0f}%)"
        )
        names = list(next(iter(r["seconds"].values())))
        add(f"  {'queries per call':>16}" + "".join(f"{name:>20}" for name in names) + "   queries per second")
        for size, seconds in r["seconds"].items():
            qps = "  ".join(f"{int(size) / t:9,.0f}" for t in seconds.values())
            add(f"  {int(size):>16}" + "".join(f"{ms(t):>20}" for t in seconds.values()) + f"   {qps}")
        single = r["top_k_flat_np"]
        add(f"  one query per call, top_k_flat_np: {ms(single)} per query")
        add("  time ratios against velk.search (above 1: velk.search is faster)")
        for size, seconds in r["seconds"].items():
            t = seconds["velk.search"]
            others = [f"{name} {t_other / t:5.2f}x" for name, t_other in seconds.items() if name != "velk.search"]
            add(
                f"  {int(size):>16}   {size} top_k_flat_np calls {int(size) * single / t:5.2f}x   " + "   ".join(others)
            )
    for shape in results["flat"]:
        first = shape["runs"][0]
        add("")
        add(
            f"top_k_flat_np, k={K}, float32 {first['n']:,} x {first['dim']} "
            f"({first['n'] * first['dim'] * 4 / 1e6:,.0f} MB)"
        )
        for r in shape["runs"]:
            add(f"  {r['threads']} thread(s) {conditions(r)}")
            add(
                f"    (BLAS: {'; '.join(r['blas'])}; faiss threads {r['faiss_threads']}; "
                f"same top k as numpy: {r['same_top_k_as_numpy']})"
            )
            base = r["seconds"]["top_k_flat_np"]
            for name, t in r["seconds"].items():
                add(f"    {name:36s} {ms(t)}   {t / base:6.2f}x")
            floor = shape["floor"].get(r["threads"])
            if floor:
                add(f"    {'plain read of the array (floor)':36s} {ms(floor)}   {floor / base:6.2f}x")
            add(f"    top_k_flat_np / E @ q: {base / r['seconds']['E @ q']:.2f}")
    for r in results["lists"]:
        add("")
        add(f"from Python lists, k={K}, {r['n']:,} x {r['dim']}  {conditions(r)}")
        s = r["seconds"]
        for name, t in s.items():
            add(f"  {name:38s} {ms(t)}")
        add(
            f"  numpy / top_k_flat: {s['np.asarray + recipe (flat list)'] / s['top_k_flat (lists)']:.2f}x   "
            f"numpy / top_k: {s['np.asarray + recipe (list of lists)'] / s['top_k (list of lists)']:.2f}x"
        )
    for r in results.get("subset", []):
        add("")
        add(f"velk.search within a subset, k={K}, float32 {r['n']:,} x {r['dim']}  {conditions(r)}")
        add(f"  (equal to searching a copy of the rows: {r['equal_to_the_copy']}; no filter: {ms(r['unfiltered'])})")
        for title, cases in subset_tables(r):
            add(f"  {title}")
            for case, seconds in cases.items():
                ours = next(iter(seconds.values()))
                others = "   ".join(f"{name} {ms(t)} ({t / ours:5.2f}x)" for name, t in list(seconds.items())[1:])
                add(f"    {case:18s} {ms(ours)}   {others}")
    for r in results.get("storage", []):
        add("")
        add(
            f"velk.search over {r['kind']} embeddings, k={K}, {r['n']:,} x {r['dim']} ({r['bytes'] / 1e6:,.0f} MB)  "
            f"{conditions(r)}"
        )
        add(f"  (equal to the float32 search of the same values, bit for bit: {r['equal_to_float32']})")
        for threads, seconds in r["single"].items():
            add(f"  one query, {threads} thread(s)")
            ours = seconds[f"velk.search {r['kind']}"]
            for name, t in seconds.items():
                add(f"    {name:36s} {ms(t)}   {t / ours:6.2f}x")
        add(f"  {STORAGE_QUERIES} queries per call, all threads")
        ours = r["batch"][f"velk.search {r['kind']}"]
        for name, t in r["batch"].items():
            add(f"    {name:36s} {ms(t)}   {t / ours:6.2f}x")
        if r.get("faiss"):
            add(
                f"  faiss SQ fp16 top-{K} indices equal to velk's: {100 * r['faiss_same_position']:.1f}% by position, "
                f"{100 * r['faiss_same_set']:.1f}% as sets"
            )
        for target, figure, met in storage_verdicts(r):
            add(f"  target {target}: {figure} {'met' if met else 'NOT met'}")
    add("")
    add("cosine_similarity against math.dist on the same two lists")
    for r in results["short"]:
        s = r["seconds"]
        add(
            f"  length {r['length']:4d}: cosine_similarity {ns(s['cosine_similarity'])}   math.dist "
            f"{ns(s['math.dist'])}   ratio {s['cosine_similarity'] / s['math.dist']:.2f}"
        )
    add("")
    add("top_k_flat_np, one worker thread against two (RAYON_NUM_THREADS, one process each)")
    for one, two in results["threads"]:
        t1, t2 = one["seconds"]["top_k_flat_np"], two["seconds"]["top_k_flat_np"]
        add(
            f"  {one['n']:,} x {one['dim']}: 1 thread {ms(t1)}, 2 threads {ms(t2)}, speed-up {t1 / t2:.2f}x"
            f"   {conditions(one)}; {conditions(two)}"
        )
    return "\n".join(lines)


def subset_tables(r):
    """The subset figures as (title, {case: {name: seconds}}), velk first in each case."""
    return [
        ("one query, where= keeping a fraction of the rows", r["single"]),
        (
            f"{SUBSET_QUERIES} queries, each with its own {RERANK_CANDIDATES:,} candidates (rows=, re-ranking)",
            {f"{SUBSET_QUERIES} x {RERANK_CANDIDATES:,}": r["rerank"]},
        ),
        (f"{SUBSET_QUERIES} queries, one shared where= keeping 10%", {"random 0.1": r["shared"]}),
    ]


def plot_subset(results, path):
    """Time of one query against the kept fraction: velk, a copy, numpy, faiss."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    r = results["subset"][0]
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5), sharey=True)
    for ax, pattern in zip(axes, ("random", "contiguous"), strict=True):
        cases = {float(case.split()[1]): seconds for case, seconds in r["single"].items() if case.startswith(pattern)}
        fractions = sorted(cases)
        for name in cases[fractions[0]]:
            ax.plot(fractions, [cases[f][name] * 1e3 for f in fractions], marker="o", label=name)
        ax.axhline(r["unfiltered"] * 1e3, linestyle="--", color="grey", label="velk.search, no filter")
        ax.plot(
            fractions,
            [f * r["unfiltered"] * 1e3 for f in fractions],
            linestyle=":",
            color="grey",
            label="kept fraction x no filter",
        )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("kept fraction of the rows")
        ax.set_title(f"one query, {pattern} filter, {r['n']:,} x {r['dim']}, top {K}")
        ax.legend(fontsize=8)
    axes[0].set_ylabel("ms per query (log)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def conditions(result):
    busy = result.get("busy_before")
    busy = "?" if busy is None else f"{100 * max(0.0, busy):.0f}%"
    return f"[machine busy {busy} before; other processes {100 * result.get('others_during', 0):.0f}% during]"


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 4, figsize=(22, 5.5))
    ax = axes[3]
    for r in results.get("batch", [])[:1]:
        sizes = [int(size) for size in r["seconds"]]
        for name in next(iter(r["seconds"].values())):
            ax.plot(sizes, [size / r["seconds"][str(size)][name] for size in sizes], marker="o", label=name)
        ax.plot(sizes, [1 / r["top_k_flat_np"]] * len(sizes), linestyle="--", label="top_k_flat_np, one per call")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(sizes)
        ax.set_xticklabels(map(str, sizes))
        ax.set_xlabel("queries per call")
        ax.set_ylabel("queries per second (log)")
        ax.set_title(f"many queries per call, {r['n']:,} x {r['dim']}, top {K}")
        ax.legend(fontsize=8)
    ax = axes[0]
    # Time per query against collection size, two threads.
    runs = []
    for shape in results["flat"]:
        two = [r for r in shape["runs"] if r["threads"] == "2"]
        if two:
            runs.append((two[0], shape["floor"].get("2")))
    runs.sort(key=lambda pair: pair[0]["n"] * pair[0]["dim"])
    sizes = [r["n"] * r["dim"] * 4 / 1e6 for r, _ in runs]
    for name, label in (
        ("top_k_flat_np", "velk (top_k_flat_np)"),
        ("E @ q", "numpy E @ q"),
        ("numpy recipe", "numpy recipe"),
        ("faiss IndexFlatIP", "faiss IndexFlatIP"),
    ):
        ax.plot(sizes, [r["seconds"][name] * 1e3 for r, _ in runs], marker="o", label=label)
    floors = [(size, floor * 1e3) for size, (_, floor) in zip(sizes, runs, strict=True) if floor]
    if floors:
        ax.plot(*zip(*floors, strict=True), linestyle="--", marker="x", color="grey", label="plain read (floor)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("collection size (MB of float32)")
    ax.set_ylabel("ms per query (log)")
    ax.set_title(f"one query, top {K}, 2 threads")
    ax.legend(fontsize=8)

    ax = axes[1]
    names = list(results["lists"][0]["seconds"])
    width = 0.8 / len(names)
    for j, name in enumerate(names):
        values = [r["seconds"][name] * 1e3 for r in results["lists"]]
        ax.bar([i + j * width for i in range(len(results["lists"]))], values, width, label=name)
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(results["lists"]))])
    ax.set_xticklabels([f"{r['n']:,} x {r['dim']}" for r in results["lists"]])
    ax.set_ylabel("ms per query")
    ax.set_title(f"Python lists, top {K}")
    ax.legend(fontsize=8)

    ax = axes[2]
    labels = [f"cos {r['length']}" for r in results["short"]] + [f"dist {r['length']}" for r in results["short"]]
    values = [r["seconds"]["cosine_similarity"] * 1e9 for r in results["short"]] + [
        r["seconds"]["math.dist"] * 1e9 for r in results["short"]
    ]
    ax.bar(labels, values, color=["C0"] * len(results["short"]) + ["C1"] * len(results["short"]))
    speedups = ", ".join(
        f"{one['n']:,}x{one['dim']} {one['seconds']['top_k_flat_np'] / two['seconds']['top_k_flat_np']:.2f}x"
        for one, two in results["threads"]
    )
    ax.set_ylabel("ns per call")
    ax.set_title("short lists: cosine_similarity (blue) vs math.dist (orange)", fontsize=10)
    ax.text(
        0.02,
        0.97,
        "top_k_flat_np, 2 threads vs 1:\n" + speedups.replace(", ", "\n"),
        transform=ax.transAxes,
        va="top",
        fontsize=8,
    )
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# ---------------------------------------------------------------- docs/benchmarks.md and README's summary


README_START = "<!-- speed summary: written by `make bench` from benchmarks/results/results.json -->"
README_END = "<!-- end of speed summary -->"
STORAGE_START = "<!-- compact storage speeds: written by `make bench` from benchmarks/results/results.json -->"
STORAGE_END = "<!-- end of compact storage speeds -->"


def headline(results):
    """A few sentences with the ratios a user asks about first."""
    batch = results["batch"][0]
    seconds, single = batch["seconds"], batch["top_k_flat_np"]
    one, many, most = seconds["1"]["velk.search"], seconds["64"], seconds[max(seconds, key=int)]
    largest = max(seconds, key=int)
    shape = f"{batch['n']:,} x {batch['dim']} float32, k = {K}, {results['machine']['processors']} processors"
    return textwrap.fill(
        f"On {shape}: one query takes {one * 1e3:.0f} ms with `velk.search` and {single * 1e3:.0f} ms with "
        f"`_velk.top_k_flat_np`, both reading the array once. A batch of 64 queries takes "
        f"{many['velk.search']:.2f} s, {64 * single / many['velk.search']:.1f} times less than 64 single calls, "
        f"{many['numpy Q @ E.T'] / many['velk.search']:.1f} times less than numpy's `Q @ E.T` and "
        f"{many['faiss IndexFlatIP'] / many['velk.search']:.1f} times less than faiss's `IndexFlatIP`; {largest} "
        f"queries take {most['velk.search']:.2f} s against faiss's {most['faiss IndexFlatIP']:.2f} s.",
        width=116,
        break_long_words=False,
        break_on_hyphens=False,
    )


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def milliseconds(seconds):
    return f"{seconds * 1e3:,.3f} ms"


def load(result):
    """The load on the machine around one measurement, as the report gives it."""
    busy = result.get("busy_before")
    busy = "?" if busy is None else f"{100 * max(0.0, busy):.0f}%"  # rounding can leave -1e-12
    return f"{busy} / {100 * result.get('others_during', 0):.0f}%"


def benchmarks_page(results):
    machine = results["machine"]
    add_lines = []
    add = add_lines.append
    add("# Benchmarks")
    add("")
    add(
        "<!-- Written by `make bench` (benchmarks/run.py) from benchmarks/results/results.json; do not edit by hand."
        " `python benchmarks/run.py --from-results` writes it again without running anything. -->"
    )
    add("")
    where = ", ".join(str(part) for part in (machine.get("cpu"), machine.get("vector"), machine.get("system")) if part)
    add(
        f"Measured on {machine['date']}, {machine['processors']} processors"
        + (f" ({where})" if where else "")
        + (f", CPython {machine['python']}" if machine.get("python") else "")
        + ". Run `make bench` to measure your machine; it rewrites this page, the raw figures in "
        "[benchmarks/results/results.json](../benchmarks/results/results.json), the text report "
        "[results.txt](../benchmarks/results/results.txt) and the plot."
    )
    add("")
    add(headline(results))
    add("")
    add("## How to read the figures")
    add("")
    add(
        "- Every time is the median of several runs inside one process. The competitors of one comparison run in "
        "turns (a, b, c, a, b, c, ...), with a pause before each call so that threads spinning after one library's "
        "call do not take a core from the next, and each comparison runs in a fresh process."
    )
    add(
        "- A ratio is a competitor's time divided by velk's time in the same comparison: above 1, velk is faster. "
        "Compare ratios, not absolute times, between machines."
    )
    add(
        "- numpy and faiss get rows and queries normalised beforehand, so they compute a plain dot product; velk "
        "computes the full cosine, exactly. The BLAS that numpy actually ran, and faiss's thread count, are in "
        "results.txt."
    )
    add(
        "- *Load* is the share of the machine that was busy just before the measurement, and the share that other "
        "processes took during it. A few percent is noise; more than that makes the ratios unreliable."
    )
    add(
        "- The *floor* is a plain read of the same array with the same threads (`benchmarks/plain_read.cpp`): "
        "independent accumulators over the widest loads, each thread's share read as 1, 2, 4 or 8 streams side "
        "by side, whichever this machine reads fastest at that size (some processors read several streams a core "
        "faster than one). No scorer can be faster than that, and a large array is scored at memory speed when "
        "velk is near it."
    )
    for batch in results.get("batch", []):
        add("")
        add(f"## `velk.search`: many queries in one call ({batch['n']:,} x {batch['dim']}, k = {K})")
        add("")
        add(
            f"Every row equal to its single-query call: {batch['rows_equal_single_calls']}; same indices as faiss: "
            f"{100 * batch['share_of_faiss_indices']:.0f}%. One `_velk.top_k_flat_np` call per query takes "
            f"{milliseconds(batch['top_k_flat_np'])}. Load: {load(batch)}."
        )
        add("")
        names = list(next(iter(batch["seconds"].values())))
        rows = []
        for size, seconds in batch["seconds"].items():
            ours = seconds["velk.search"]
            row = [size] + [f"{milliseconds(t)} ({int(size) / t:,.0f} q/s)" for t in seconds.values()]
            row.append(f"{int(size) * batch['top_k_flat_np'] / ours:.2f}x")
            row += [f"{t / ours:.2f}x" for name, t in seconds.items() if name != "velk.search"]
            rows.append(row)
        others = [name for name in names if name != "velk.search"]
        add(
            markdown_table(
                [
                    "queries per call",
                    *names,
                    "single calls / velk.search",
                    *(f"{name} / velk.search" for name in others),
                ],
                rows,
            )
        )
    for r in results.get("subset", []):
        add("")
        add(f"## `velk.search` within a subset ({r['n']:,} x {r['dim']}, k = {K})")
        add("")
        add(
            f'`where=` and `rows=` (see README, "Searching a subset"). Every result equal to a search of a copy of '
            f"the kept rows: {r['equal_to_the_copy']}. The same search with no filter takes "
            f"{milliseconds(r['unfiltered'])}. faiss gets its selectors made beforehand. Every contestant reads the "
            f"same normalised rows, and before each timed call the caches are filled with other memory, so that "
            f"every contestant reads its rows from memory; the copy of the kept rows is made in memory of the same kind. "
            f"Load: {load(r)}."
        )
        for title, cases in subset_tables(r):
            add("")
            add(f"{title}:")
            add("")
            names = list(next(iter(cases.values())))
            rows = [
                [case, milliseconds(seconds[names[0]])]
                + [f"{milliseconds(seconds[name])} ({seconds[name] / seconds[names[0]]:.2f}x)" for name in names[1:]]
                for case, seconds in cases.items()
            ]
            add(markdown_table(["case", *names], rows))
        add("")
        add("![Time of one query against the kept fraction](../benchmarks/results/subset.png)")
    if results.get("storage"):
        add("")
        add(storage_page(results["storage"]))
    add("")
    add(f"## One query per call: `_velk.top_k_flat_np` (k = {K})")
    add("")
    rows = []
    for shape in results["flat"]:
        for r in shape["runs"]:
            base = r["seconds"]["top_k_flat_np"]
            floor = shape["floor"].get(r["threads"])
            rows.append(
                [f"{r['n']:,} x {r['dim']} ({r['n'] * r['dim'] * 4 / 1e6:,.0f} MB)", r["threads"], milliseconds(base)]
                + [f"{r['seconds'][name] / base:.2f}x" for name in ("numpy recipe", "E @ q", "faiss IndexFlatIP")]
                + [f"{milliseconds(floor)} ({floor / base:.2f}x)" if floor else "-", load(r)]
            )
    add(
        markdown_table(
            [
                "rows x dim",
                "threads",
                "top_k_flat_np",
                "numpy recipe",
                "numpy E @ q",
                "faiss IndexFlatIP",
                "floor: plain read",
                "load",
            ],
            rows,
        )
    )
    add("")
    add(
        "The numpy recipe is the usual cosine top-k (`E @ q` over row norms and the query norm, `argpartition`, a "
        "sort of the k); `E @ q` alone is the matrix product without norms or selection."
    )
    add("")
    add(f"## From Python lists (k = {K})")
    add("")
    rows = []
    for r in results["lists"]:
        s = r["seconds"]
        rows.append(
            [
                f"{r['n']:,} x {r['dim']}",
                milliseconds(s["top_k_flat (lists)"]),
                f"{s['np.asarray + recipe (flat list)'] / s['top_k_flat (lists)']:.2f}x",
                milliseconds(s["top_k (list of lists)"]),
                f"{s['np.asarray + recipe (list of lists)'] / s['top_k (list of lists)']:.2f}x",
                load(r),
            ]
        )
    add(
        markdown_table(
            [
                "rows x dim",
                "top_k_flat (flat list)",
                "np.asarray + recipe / top_k_flat",
                "top_k (list of lists)",
                "np.asarray + recipe / top_k",
                "load",
            ],
            rows,
        )
    )
    add("")
    add("## `cosine_similarity` on two short lists, against `math.dist`")
    add("")
    rows = [
        [
            str(r["length"]),
            f"{r['seconds']['cosine_similarity'] * 1e9:,.1f} ns",
            f"{r['seconds']['math.dist'] * 1e9:,.1f} ns",
            f"{r['seconds']['cosine_similarity'] / r['seconds']['math.dist']:.2f}",
            load(r),
        ]
        for r in results["short"]
    ]
    add(markdown_table(["length", "cosine_similarity", "math.dist", "cosine_similarity / math.dist", "load"], rows))
    add("")
    add("## `top_k_flat_np` on one worker and on two (RAYON_NUM_THREADS, one process each)")
    add("")
    rows = []
    for one, two in results["threads"]:
        t1, t2 = one["seconds"]["top_k_flat_np"], two["seconds"]["top_k_flat_np"]
        rows.append(
            [
                f"{one['n']:,} x {one['dim']}",
                milliseconds(t1),
                milliseconds(t2),
                f"{t1 / t2:.2f}x",
                f"{load(one)}; {load(two)}",
            ]
        )
    add(markdown_table(["rows x dim", "1 thread", "2 threads", "speed-up", "load"], rows))
    add("")
    add("![Benchmark plot: velk, numpy and faiss](../benchmarks/results/results.png)")
    return "\n".join(add_lines) + "\n"


def storage_shape_label(r):
    return f"{r['n']:,} x {r['dim']}"


def storage_page(storage):
    """The compact storage part of docs/benchmarks.md: per type, one query on
    1 and 2 threads beside the float32 search of the same values and the plain
    reads, then 64 queries per call, then the targets."""
    lines = []
    add = lines.append
    add(f"## Compact storage: float16, bfloat16, int8 and uint8 searched in place (k = {K})")
    add("")
    add(
        "Each type is searched as it is stored, beside `velk.search` over the float32 copy of the same values "
        "(which gives the same result, bit for bit) and the *plain read* of each array's bytes with the same "
        "threads: `benchmarks/plain_read.cpp`, the floor of the figures above (the fastest of its read patterns at "
        "that size), called through ctypes (which releases the interpreter lock; its helper thread is started once and "
        "woken for each call, as a worker pool's). The ratio */ plain read* is velk's time over the plain read of "
        "its own bytes; *float32 / type* is "
        "the float32 search's time over the compact one's. faiss's fp16 scalar quantizer (`IndexScalarQuantizer`, "
        "`QT_fp16`, inner product on normalised rows) is the nearest peer of float16: it scores fp16 copies of "
        "the normalised rows in its own order, so its scores are not those of any float32 search, and its top 10 "
        "can differ from the exact one."
    )
    dates = sorted({r["date"] for r in storage if r.get("date")})
    if dates:
        add("")
        add(f"Measured on {dates[0]}" + (f" to {dates[-1]}" if len(dates) > 1 else "") + ".")
    for kind in STORAGE_KINDS:
        runs = [r for r in storage if r["kind"] == kind]
        if not runs:
            continue
        add("")
        add(f"### {kind}")
        add("")
        add(f"Equal to the float32 search of the same values, bit for bit: {all(r['equal_to_float32'] for r in runs)}.")
        add("")
        rows = []
        for r in runs:
            figures, _ = storage_figures(r)
            for threads, seconds in r["single"].items():
                f = figures[threads]
                row = [
                    f"{storage_shape_label(r)} ({r['bytes'] / 1e6:,.0f} MB)",
                    threads,
                    milliseconds(f["seconds"]),
                    milliseconds(seconds[f"plain read {kind}"]),
                    f"{f['read']:.2f}x",
                ]
                if kind != "float32":
                    row += [
                        milliseconds(seconds["velk.search float32"]),
                        milliseconds(seconds["plain read float32"]),
                        f"{f['speed_up']:.2f}x",
                    ]
                if kind == "float16":
                    row.append(milliseconds(seconds["faiss SQ fp16"]) if "faiss SQ fp16" in seconds else "-")
                rows.append(row + [load(r)])
        header = ["rows x dim", "threads", f"velk.search {kind}", f"plain read {kind}", "/ plain read"]
        if kind != "float32":
            header += ["velk.search float32", "plain read float32", f"float32 / {kind}"]
        if kind == "float16":
            header.append("faiss SQ fp16")
        add(markdown_table(header + ["load"], rows))
        if kind == "float32":
            continue
        add("")
        add(f"{STORAGE_QUERIES} queries per call, all threads:")
        add("")
        rows = []
        for r in runs:
            batch = r["batch"]
            ours = batch[f"velk.search {kind}"]
            row = [
                storage_shape_label(r),
                milliseconds(ours),
                milliseconds(batch["velk.search float32"]),
                f"{batch['velk.search float32'] / ours:.2f}x",
            ]
            if kind == "float16":
                faiss_time = batch.get("faiss SQ fp16")
                row.append(milliseconds(faiss_time) if faiss_time else "-")
                row.append(
                    f"{100 * r['faiss_same_position']:.0f}% ({100 * r['faiss_same_set']:.0f}% as sets)"
                    if r.get("faiss")
                    else "-"
                )
            rows.append(row)
        header = ["rows x dim", f"velk.search {kind}", "velk.search float32", f"float32 / {kind}"]
        if kind == "float16":
            header += ["faiss SQ fp16", "faiss top-10 equal to velk's"]
        add(markdown_table(header, rows))
    cached = [r for r in storage if r.get("in_cache")]
    if cached:
        add("")
        add("### The arithmetic alone")
        add("")
        add(
            textwrap.fill(
                f"The row scorer velk dispatches to, on one core, without a pool, over {IN_CACHE_ROWS:,} rows that stay "
                "in the cache (`kernel_check bench`, the fastest of five), scaled to the shape's rows: what the "
                "widening and the rounded multiplies and adds cost when reading costs nothing, beside the plain read "
                "of the shape's bytes on one thread. Where it is above the plain read, no order of reading can bring "
                "the search to the floor: the arithmetic sets the pace.",
                width=116,
                break_long_words=False,
                break_on_hyphens=False,
            )
        )
        add("")
        rows = []
        for r in cached:
            arithmetic = r["in_cache"]["seconds"] * r["n"]
            read_one = r["single"]["1"][f"plain read {r['kind']}"]
            rows.append(
                [
                    r["kind"],
                    storage_shape_label(r),
                    r["in_cache"]["level"],
                    milliseconds(arithmetic),
                    milliseconds(read_one),
                    f"{arithmetic / read_one:.2f}x",
                ]
            )
        add(
            markdown_table(
                ["type", "rows x dim", "level", "scorer, rows in cache", "plain read, 1 thread", "scorer / read"],
                rows,
            )
        )
    add("")
    add("### Targets")
    add("")
    rows = [
        [r["kind"], storage_shape_label(r), target, figure, "met" if met else "**not met**"]
        for r in storage
        for target, figure, met in storage_verdicts(r)
    ]
    add(markdown_table(["type", "rows x dim", "target", "measured", ""], rows))
    return "\n".join(lines)


def storage_summary(storage):
    """README's table of compact storage speeds: the largest shape, one query."""
    largest = max(storage, key=lambda r: r["n"] * r["dim"])
    runs = [r for r in storage if (r["n"], r["dim"]) == (largest["n"], largest["dim"])]
    rows = []
    for r in runs:
        figures, many = storage_figures(r)
        one, two = figures.get("1"), figures.get("2")
        rows.append(
            [
                r["kind"],
                f"{r['bytes'] / 1e9:.2f} GB",
                milliseconds(one["seconds"]) if one else "-",
                milliseconds(two["seconds"]) if two else "-",
                f"{one['speed_up']:.2f}x / {two['speed_up']:.2f}x" if one and one["speed_up"] else "-",
                f"{one['read']:.2f}x / {two['read']:.2f}x" if one and two else "-",
                f"{many:.2f}x" if many else "-",
                load(r),
            ]
        )
    table = markdown_table(
        [
            "storage",
            "size",
            "1 query, 1 thread",
            "1 query, 2 threads",
            "float32 / it (1 / 2 threads)",
            "it / plain read (1 / 2 threads)",
            f"float32 / it, {STORAGE_QUERIES} queries",
            "load",
        ],
        rows,
    )
    intro = textwrap.fill(
        f"{largest['n']:,} x {largest['dim']}, k = {K}: one query on 1 and 2 threads, {STORAGE_QUERIES} queries per call on all "
        f"threads "
        f"(`make bench`; *load* is the share of the machine busy before / taken by other processes during the "
        f"measurement, which skews the ratios when it is high; every figure and the targets are in "
        f"[docs/benchmarks.md](docs/benchmarks.md#compact-storage-float16-bfloat16-int8-and-uint8-searched-in-place-k--10)):",
        width=116,
        break_long_words=False,
        break_on_hyphens=False,
    )
    return f"{intro}\n\n{table}"


def replace_between(text, start_marker, end_marker, body):
    start, end = text.find(start_marker), text.find(end_marker)
    if start < 0 or end < start:
        return text
    return text[: start + len(start_marker)] + "\n" + body + "\n" + text[end:]


def update_readme(results):
    """Puts the headline between README's summary markers, and the compact
    storage table between its own."""
    readme = README.read_text(encoding="utf-8")
    readme = replace_between(readme, README_START, README_END, headline(results))
    if results.get("storage"):
        readme = replace_between(readme, STORAGE_START, STORAGE_END, storage_summary(results["storage"]))
    README.write_text(readme, encoding="utf-8")


def write_documents(results):
    """Everything that is written from results.json alone."""
    text = report(results)
    (RESULTS / "results.txt").write_text(text + "\n")
    DOCS_PAGE.write_text(benchmarks_page(results), encoding="utf-8")
    update_readme(results)
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--section", nargs="+")
    parser.add_argument(
        "--only",
        choices=["subset", "storage"],
        help="run this comparison alone and keep the other figures of results.json",
    )
    parser.add_argument("--quick", action="store_true", help="fewer rounds and no 1,000,000 x 768 shape")
    parser.add_argument(
        "--from-results",
        action="store_true",
        help="measure nothing: write results.txt, docs/benchmarks.md and README's summary from results.json",
    )
    args = parser.parse_args()
    if args.from_results:
        write_documents(json.loads((RESULTS / "results.json").read_text()))
        print(f"written from {RESULTS / 'results.json'}: {RESULTS / 'results.txt'}, {DOCS_PAGE}, README's summary")
        return
    if args.section:
        name, *values = args.section
        print(json.dumps(SECTIONS[name](*map(int, values))))
        return

    env, removed = benchmark_environment()
    repeats = 3 if args.quick else 9
    subset_shape = (100_000, SUBSET_SHAPE[1]) if args.quick else SUBSET_SHAPE
    storage_shapes = STORAGE_SHAPES[1:] if args.quick else STORAGE_SHAPES
    if args.only:
        results = json.loads((RESULTS / "results.json").read_text())
        if args.only == "subset":
            results["subset"] = [run_section("subset", [*subset_shape, repeats], env)]
        else:
            results["storage"] = run_storage(storage_shapes, repeats, env)
        (RESULTS / "results.json").write_text(json.dumps(results, indent=1) + "\n")
        print(write_documents(results))
        if args.only == "subset":
            plot_subset(results, RESULTS / "subset.png")
        return
    flat_shapes = FLAT_SHAPES[:-1] if args.quick else FLAT_SHAPES
    results = {"machine": machine_record(removed), "batch": [], "flat": [], "lists": [], "short": [], "threads": []}
    batch_shape = (100_000, BATCH_SHAPE[1]) if args.quick else BATCH_SHAPE
    results["batch"].append(run_section("batch", [*batch_shape, repeats], env))
    for n, dim in flat_shapes:
        # The largest shape needs its repeats most and has the least time for them.
        rounds = repeats if n < 1_000_000 else max(3, repeats - 2)
        runs = [
            run_section(
                "flat", [n, dim, rounds], env, {"RAYON_NUM_THREADS": t, "OPENBLAS_NUM_THREADS": t, "OMP_NUM_THREADS": t}
            )
            for t in FLAT_THREADS
        ]
        results["flat"].append({"runs": runs, "floor": plain_read_floor(n, dim)})
    for n, dim in LIST_SHAPES:
        results["lists"].append(run_section("lists", [n, dim, repeats], env))
    for length in SHORT_LENGTHS:
        results["short"].append(run_section("short", [length, repeats], env))
    for shape in THREAD_SHAPES:
        results["threads"].append(
            [run_section("threads", [*shape, repeats * 200], env, {"RAYON_NUM_THREADS": t}) for t in ("1", "2")]
        )
    results["subset"] = [run_section("subset", [*subset_shape, repeats], env)]
    results["storage"] = run_storage(storage_shapes, repeats, env)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    print(write_documents(results))
    plot(results, RESULTS / "results.png")
    plot_subset(results, RESULTS / "subset.png")
    print(f"\nwritten: {RESULTS / 'results.txt'}, results.json, results.png, {DOCS_PAGE}, README's summary")


if __name__ == "__main__":
    main()
