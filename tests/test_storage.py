"""Compact embeddings (float16, bfloat16, int8, uint8): read in place, and every
result bit for bit the search of their float32 copy; what is refused, and how."""

import sys

import numpy as np
import pytest

import velk

from conftest import assert_same, reference, run_python

try:
    import ml_dtypes
except ImportError:  # make test installs it; the other types need nothing
    ml_dtypes = None

needs_ml_dtypes = pytest.mark.skipif(ml_dtypes is None, reason="ml_dtypes is not installed (make test installs it)")
KINDS = ["float16", pytest.param("bfloat16", marks=needs_ml_dtypes), "int8", "uint8"]

# Bit patterns of the awkward values of each floating type, placed one per row.
FLOAT16_SPECIALS = [
    0x0001,  # the smallest subnormal
    0x83FF,  # the largest negative subnormal
    0x0200,
    0x7C00,  # +inf
    0xFC00,  # -inf
    0x7E00,  # quiet NaN
    0xFE15,  # negative quiet NaN with a payload
    0x7C01,  # signalling NaN
    0x7BFF,  # 65504, the largest finite
    0x8000,  # -0.0
]
BFLOAT16_SPECIALS = [
    0x0001,  # subnormal
    0x807F,  # negative subnormal
    0x7F80,  # +inf
    0xFF80,  # -inf
    0x7FC0,  # quiet NaN
    0x7FC5,  # quiet NaN with a payload
    0xFFE3,  # negative quiet NaN with a payload
    0x7F81,  # signalling NaN
    0x7F7F,  # the largest finite
    0x8000,  # -0.0
]


def dtype_of(kind):
    return np.dtype(ml_dtypes.bfloat16) if kind == "bfloat16" else np.dtype(kind)


def collection(kind, rows, dim, rng):
    """Random values of the kind, then its extremes and specials: a zero row,
    rows of the extreme integers, subnormals, infinities and NaN payloads,
    one pattern per row (and one special inside an otherwise random row), and
    duplicated rows far apart (tied scores in different tasks)."""
    if kind in ("int8", "uint8"):
        info = np.iinfo(kind)
        e = rng.integers(info.min, int(info.max) + 1, (rows, dim)).astype(kind)
        extremes = [np.full(dim, info.min), np.full(dim, info.max), np.arange(dim) % 2 * int(info.max)]
        for i, row in enumerate(extremes):
            e[(3 + 7 * i) % rows] = row
    else:
        e = (rng.standard_normal((rows, dim), dtype=np.float32) * 4).astype(dtype_of(kind))
        patterns = FLOAT16_SPECIALS if kind == "float16" else BFLOAT16_SPECIALS
        bits = e.view(np.uint16)
        for i, pattern in enumerate(patterns):
            bits[(3 + 5 * i) % rows] = pattern
        bits[(rows * 2) // 3, dim // 2] = patterns[-5]  # one NaN among ordinary values
    e[1] = 0
    e[rows - 2] = e[2]
    e[rows // 2] = e[2]
    return e


def queries_for(wide, count, rng):
    """Random queries, a copy of row 2 (ties at the top) and a zero query."""
    q = rng.standard_normal((count, wide.shape[1]), dtype=np.float32)
    if count > 1:
        q[1] = wide[2]
    if count > 2:
        q[-1] = 0.0
    return q


@pytest.mark.parametrize("dim", [1, 7, 16, 17, 128, 384, 769])
@pytest.mark.parametrize("kind", KINDS)
def test_every_result_is_the_search_of_the_float32_copy(kind, dim):
    rng = np.random.default_rng([dim, len(kind)])
    rows = int(np.clip(60_000 // dim, 60, 700))  # several row ranges, so that threads share them
    e = collection(kind, rows, dim, rng)
    wide = e.astype(np.float32)
    queries = queries_for(wide, 64, rng)
    for nq in (1, 2, 17, 64):
        for k in (1, 10, rows + 1):
            want = reference(queries[:nq], wide, k)
            for threads in (1, 2, None):
                assert_same(velk.search(queries[:nq], e, k, threads=threads), want)
                assert_same(velk.search(queries[:nq], wide, k, threads=threads), want)
    # One 1-D query gives 1-D results.
    single = velk.search(queries[0], e, 5)
    assert_same((single.scores[None], single.indices[None]), reference(queries[:1], wide, 5))


@pytest.mark.parametrize("kind", KINDS)
def test_the_collections_hold_the_awkward_values(kind):
    # Guards the data above, so that the equality is not over tame values only.
    e = collection(kind, 60, 7, np.random.default_rng(5))
    wide = e.astype(np.float32)
    assert not wide[1].any() and wide[2].tobytes() == wide[30].tobytes() == wide[58].tobytes()
    if kind in ("int8", "uint8"):
        info = np.iinfo(kind)
        assert (wide[3] == info.min).all() and (wide[10] == info.max).all()
        return
    tiny = np.finfo(np.float16 if kind == "float16" else np.float32).smallest_normal
    assert ((wide != 0) & (np.abs(wide) < tiny)).any(axis=1).sum() >= 2  # subnormal rows
    assert np.isposinf(wide).any() and np.isneginf(wide).any()
    payloads = {int(b) & 0x807FFFFF for b in wide[np.isnan(wide)].view(np.uint32)}
    assert len(payloads) >= 3  # NaNs of both signs, with distinct payloads
    assert np.isnan(wide[40, 3]) and np.isfinite(np.delete(wide[40], 3)).all()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("threads", [1, None])
def test_subsets_of_compact_rows_are_those_of_the_copy(kind, threads):
    rng = np.random.default_rng(11)
    e = collection(kind, 1500, 33, rng)
    wide = e.astype(np.float32)
    queries = queries_for(wide, 9, rng)
    shared = rng.random(len(e)) < 0.3
    each = rng.random((len(queries), len(e))) < 0.05
    lists = rng.integers(-1, len(e), (len(queries), 40))
    for options in ({"where": shared}, {"where": each}, {"rows": lists}, {"rows": lists[0]}, {"rows": []}):
        for k in (1, 7, 2000):
            assert_same(
                velk.search(queries, e, k, threads=threads, **options),
                velk.search(queries, wide, k, threads=threads, **options),
            )
    # One query: the row scorers, which visit the numbered rows in lane
    # stretches (two rows a lane at a time where groups are paired).
    for options in ({"where": shared}, {"rows": lists[0]}, {"rows": np.arange(len(e))[::-3]}):
        assert_same(
            velk.search(queries[:1], e, 50, threads=threads, **options),
            velk.search(queries[:1], wide, 50, threads=threads, **options),
        )


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    ("dim", "mix"),
    [(40, "tiny"), (40, "tiny scores"), (40, "huge"), (4100, "ordinary")],
)
def test_queries_of_awkward_magnitudes_and_length(kind, dim, mix):
    # Query values below 2^-102 in magnitude, whose products with small
    # integers are subnormal or nearly so: alone (the query's norm is zero),
    # or beside a 1 where every row holds 0, so that every score comes from
    # those products alone. Values whose squares overflow; and a query longer
    # than 4096 values.
    rng = np.random.default_rng([dim, len(kind), len(mix)])
    e = collection(kind, 300, dim, rng)
    q = rng.standard_normal((3, dim), dtype=np.float32)
    if mix in ("tiny", "tiny scores"):
        q = np.ldexp(q, -110)
    if mix == "tiny scores":
        q[:, 0] = 1
        e[:, 0] = 0
    elif mix == "huge":
        q = np.ldexp(q, 100)
    wide = e.astype(np.float32)
    for threads in (1, None):
        for nq in (1, 3):
            assert_same(velk.search(q[:nq], e, 20, threads=threads), velk.search(q[:nq], wide, 20, threads=threads))


@pytest.mark.parametrize("kind", KINDS)
def test_read_in_place_from_views_memoryviews_and_memmaps(kind, tmp_path):
    rng = np.random.default_rng(3)
    e = collection(kind, 400, 24, rng)
    queries = queries_for(e.astype(np.float32), 5, rng)
    mapped = np.memmap(tmp_path / "e.bin", dtype=e.dtype, mode="w+", shape=e.shape)
    mapped[:] = e
    mapped.flush()
    read_only = np.memmap(tmp_path / "e.bin", dtype=e.dtype, mode="r", shape=e.shape)
    inputs = [mapped, read_only, e[100:], np.lib.format.open_memmap(tmp_path / "e.npy", "w+", e.dtype, e.shape)]
    inputs[-1][:] = e
    if kind != "bfloat16":  # numpy exports a buffer for every other type
        inputs.append(memoryview(e))
    for given in inputs:
        assert_same(velk.search(queries, given, 9), velk.search(queries, np.asarray(given).astype(np.float32), 9))


MEMMAP_PROGRAM = """
import tracemalloc
import numpy as np
import velk
if kind == "bfloat16":
    import ml_dtypes
    dtype = np.dtype(ml_dtypes.bfloat16)
else:
    dtype = np.dtype(kind)
e = np.memmap(path, dtype=dtype, mode="r", shape=(rows, dim))
queries = np.linspace(0.25, 1.0, 2 * dim, dtype=np.float32).reshape(2, dim)
velk.search(queries[:1], e[:10], 3)  # imports and first-call work, outside the measure
tracemalloc.start()
single = velk.search(queries[0], e, 10)
batch = velk.search(queries, e, 10, threads=2)
subset = velk.search(queries, e, 10, rows=[rows - 1, 0, 5])
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
print(peak, single.indices[0], batch.indices[1, 0], sorted(subset.indices[0].tolist()))
"""


@pytest.mark.parametrize("kind", KINDS)
def test_a_search_over_a_large_memmap_allocates_no_float32_copy(kind, tmp_path):
    # A sparse file of about 300 MB, zero but for two rows: its float32 copy
    # would take 600 MB or 1.2 GB, numpy's allocations show in tracemalloc,
    # and the whole file is still read (a zero row scores too).
    dim = 768
    itemsize = dtype_of(kind).itemsize
    rows = 300_000_000 // (dim * itemsize)
    path = tmp_path / "e.bin"
    with open(path, "wb") as f:
        f.truncate(rows * dim * itemsize)
    mapped = np.memmap(path, dtype=dtype_of(kind), mode="r+", shape=(rows, dim))
    mapped[rows - 1] = 1
    mapped[5] = 2
    mapped.flush()
    del mapped
    done = run_python(f"kind, path, rows, dim = {kind!r}, {str(path)!r}, {rows}, {dim}\n" + MEMMAP_PROGRAM, timeout=300)
    assert done.returncode == 0, done.stderr
    peak, single, batch, subset = done.stdout.split(maxsplit=3)
    # The two non-zero rows tie at the top: the lower index wins.
    assert (int(single), int(batch)) == (5, 5)
    assert subset.strip() == f"[-1, -1, -1, -1, -1, -1, -1, 0, 5, {rows - 1}]"
    assert int(peak) < 1_000_000, f"{int(peak):,} bytes allocated by a search over {rows * dim * itemsize:,} bytes"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("chunks", [(1000, 40), (97, 40), (1000, 13)])
def test_dask_chunks_are_searched_in_their_own_dtype(kind, chunks, monkeypatch):
    da = pytest.importorskip("dask.array")
    import velk.dask

    rng = np.random.default_rng(8)
    e = collection(kind, 1000, 40, rng)
    wide = e.astype(np.float32)
    queries = queries_for(wide, 6, rng)
    seen = []
    original = velk.dask.search_array

    def spy(queries, embeddings, *args, **kwargs):
        seen.append(embeddings.dtype)
        return original(queries, embeddings, *args, **kwargs)

    monkeypatch.setattr(velk.dask, "search_array", spy)
    lazy = da.from_array(e, chunks=chunks)
    mask = rng.random(len(e)) < 0.4
    for k, options in ((5, {}), (1000, {}), (7, {"where": mask}), (7, {"rows": [3, 999, 500, -1]})):
        seen.clear()
        got = velk.dask.search(queries, lazy, k, scheduler="sync", **options)
        assert_same(got, velk.search(queries, wide, k, **options))
        # The probe and every chunk: the stored dtype, never a float32 copy.
        assert seen and set(seen) == {e.dtype}
    # The probe carries the dtype too when nothing is computed.
    assert velk.dask.search(queries, lazy, 0).indices.shape == (6, 0)


NOT_STORED = "embeddings must hold float32, float16, bfloat16, int8 or uint8 in native byte order, not "
CONVERT = (
    "; convert it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32), "
    "or dtype=numpy.float16 for half the memory"
)
OTHER_ORDER = ">" if sys.byteorder == "little" else "<"


def unaligned(dtype, shape):
    """An array of this dtype starting one byte past an aligned address."""
    count = int(np.prod(shape))
    raw = np.zeros(count * dtype.itemsize + 16, np.uint8)
    start = (1 - raw.ctypes.data) % 16
    return raw[start : start + count * dtype.itemsize].view(dtype).reshape(shape)


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: np.ones((3, 2)), TypeError, NOT_STORED + "a 2-D array of float64 with shape (3, 2)" + CONVERT),
        (lambda: np.ones((3, 2), np.int16), TypeError, NOT_STORED + "a 2-D array of int16 with shape (3, 2)" + CONVERT),
        (
            lambda: np.ones((3, 2), np.uint16),
            TypeError,
            NOT_STORED + "a 2-D array of uint16 with shape (3, 2)" + CONVERT,
        ),
        (lambda: np.ones((3, 2), np.int32), TypeError, NOT_STORED + "a 2-D array of int32 with shape (3, 2)" + CONVERT),
        (lambda: np.ones((3, 2), bool), TypeError, NOT_STORED + "a 2-D array of bool with shape (3, 2)" + CONVERT),
        (
            lambda: np.ones((4, 1), np.longdouble),
            TypeError,
            NOT_STORED + f"a 2-D array of float{8 * np.dtype(np.longdouble).itemsize} with shape (4, 1)" + CONVERT,
        ),
        (
            lambda: np.ones((2, 5), "M8[s]"),
            TypeError,
            NOT_STORED + "a 2-D array of datetime64[s] with shape (2, 5)" + CONVERT,
        ),
        (
            lambda: np.ones((3, 2), OTHER_ORDER + "f2"),
            TypeError,
            NOT_STORED + "a 2-D array of byte-swapped float16 with shape (3, 2)" + CONVERT,
        ),
        (
            lambda: np.ones(4, np.float16),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 1-D array of float16 with shape (4,); "
            "reshape it, for example embeddings.reshape(-1, dim)",
        ),
        (
            lambda: np.ones((2, 2, 2), np.int8),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 3-D array of int8 with shape (2, 2, 2); "
            "reshape it, for example embeddings.reshape(-1, dim)",
        ),
        (
            lambda: np.ones((4, 4), np.uint8)[:, ::2],
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of uint8 with "
            "shape (4, 2) and strides (4, 2)",
        ),
        (
            lambda: unaligned(np.dtype(np.float16), (5, 2)),
            ValueError,
            "embeddings must start at an address aligned to its 2-byte items, not a 2-D array of float16 with "
            "shape (5, 2) at an odd offset",
        ),
    ],
)
def test_refusals_name_the_type_given(make, error, message):
    with pytest.raises(error) as raised:
        velk.search(np.ones(2, np.float32), make(), 1)
    assert type(raised.value) is error and str(raised.value).startswith(message)


@needs_ml_dtypes
@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (
            lambda bf16: np.ones(4, bf16),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 1-D array of bfloat16 with shape (4,); "
            "reshape it, for example embeddings.reshape(-1, dim)",
        ),
        (
            lambda bf16: np.ones((), bf16),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 0-d array of bfloat16; ",
        ),
        (
            lambda bf16: np.ones((4, 4), bf16)[:, ::2],
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of bfloat16 with "
            "shape (4, 2) and strides (8, 4); copy it once with numpy.ascontiguousarray(embeddings, "
            "dtype=ml_dtypes.bfloat16)",
        ),
        (
            lambda bf16: np.ones((4, 4), bf16).T,
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of bfloat16 with "
            "shape (4, 4) and strides (2, 8)",
        ),
        (
            lambda bf16: unaligned(np.dtype(bf16), (5, 2)),
            ValueError,
            "embeddings must start at an address aligned to its 2-byte items, not a 2-D array of bfloat16 with "
            "shape (5, 2) at an odd offset; copy it with numpy.require(embeddings, ml_dtypes.bfloat16, "
            "['C_CONTIGUOUS', 'ALIGNED'])",
        ),
        (
            lambda bf16: np.ones((3, 2), ml_dtypes.float8_e4m3fn),
            TypeError,
            NOT_STORED + "a 2-D array of float8_e4m3fn with shape (3, 2)" + CONVERT,
        ),
        (
            lambda bf16: np.ones((3, 2), ml_dtypes.int4),
            TypeError,
            NOT_STORED + "a 2-D array of int4 with shape (3, 2)" + CONVERT,
        ),
    ],
)
def test_bfloat16_refusals_name_bfloat16(make, error, message):
    with pytest.raises(error) as raised:
        velk.search(np.ones(2, np.float32), make(ml_dtypes.bfloat16), 1)
    assert type(raised.value) is error and str(raised.value).startswith(message)
    if error is ValueError and "must be a 2-D" not in message:
        # The same refusal when a subset is given: the embeddings are checked first.
        with pytest.raises(error, match="^embeddings must"):
            velk.search(np.ones(2, np.float32), make(ml_dtypes.bfloat16), 1, rows=[0])


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: np.ones((3, 2)), TypeError, NOT_STORED + "a 2-D array of float64 with shape (3, 2)" + CONVERT),
        (
            lambda: np.ones((3, 2), OTHER_ORDER + "i2"),
            TypeError,
            NOT_STORED + "a 2-D array of byte-swapped int16 with shape (3, 2)" + CONVERT,
        ),
        (
            lambda: np.ones((3, 2, 1), np.float16),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 3-D array of float16 with shape (3, 2, 1)",
        ),
        pytest.param(
            lambda: np.ones(6, ml_dtypes.bfloat16),
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 1-D array of bfloat16 with shape (6,)",
            marks=needs_ml_dtypes,
        ),
    ],
)
def test_dask_refuses_the_same_before_computing(make, error, message):
    da = pytest.importorskip("dask.array")
    import velk.dask

    lazy = da.from_array(make(), chunks=2)
    with pytest.raises(error) as raised:
        velk.dask.search(np.ones(2, np.float32), lazy, 1)
    assert str(raised.value).startswith(message)


def test_bfloat16_is_recognised_without_importing_ml_dtypes():
    # velk never imports ml_dtypes itself: importing velk, and searching
    # float16, leave it unloaded; once the caller has made a bfloat16 array,
    # it is searched.
    done = run_python(
        "import sys, numpy as np, velk, velk.dask\n"
        "velk.search([1.0, 0.0], np.ones((3, 2), np.float16), 1)\n"
        "print('ml_dtypes' in sys.modules)\n"
    )
    assert done.stdout.split() == ["False"]


@needs_ml_dtypes
def test_the_native_entry_takes_bfloat16_patterns_by_name():
    # The entry itself: 16-bit patterns and the storage name, no conversion.
    rng = np.random.default_rng(2)
    e = rng.standard_normal((50, 9), dtype=np.float32).astype(ml_dtypes.bfloat16)
    queries = rng.standard_normal((3, 9), dtype=np.float32)
    got = velk._native.search(queries, e.view(np.uint16), 4, None, None, None, None, "bfloat16")
    assert_same(got, velk.search(queries, e.astype(np.float32), 4))
    # The same patterns read as float16 give other scores: the name counts.
    other = velk._native.search(queries, e.view(np.float16), 4, None, None, None, None, None)
    assert other[0].tobytes() != got[0].tobytes()


@pytest.mark.parametrize("dim", [259, 700, 1100, 4100])
@pytest.mark.parametrize("kind", ["int8", "uint8"])
def test_sums_of_squares_crossing_2_24_anywhere_in_a_row(kind, dim):
    # Squares of 8-bit values may be summed as integers while that is exact,
    # then in floats: rows of the type's largest square up to a column of
    # their own, random after it, take a row's sum of squares past 2^24 in
    # every block, and lanes of one group past it in different blocks. Rows
    # random up to a column and of the largest square after it reach any sum
    # just short of 2^24, then pass it by many squares within a block.
    rng = np.random.default_rng([dim, len(kind)])
    info = np.iinfo(kind)
    rows = 320
    e = rng.integers(info.min, int(info.max) + 1, (rows, dim)).astype(kind)
    largest = info.min if kind == "int8" else info.max
    ends = rng.integers(0, dim + 1, rows)
    for r, end in enumerate(ends):
        if r % 2 == 0:
            e[r, :end] = largest
        else:
            e[r, end:] = largest
    wide = e.astype(np.float32)
    queries = rng.standard_normal((2, dim), dtype=np.float32)
    for threads in (1, None):
        for q in queries:  # one query a call: the row scorers, not the tiles of a batch
            found = velk.search(q, e, rows, threads=threads)
            assert_same((found.scores[None], found.indices[None]), reference(q[None], wide, rows))
