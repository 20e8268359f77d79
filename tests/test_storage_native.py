"""Compact collections through the native entry: float16, bfloat16 (as uint16
bits with storage="bfloat16"), int8 and uint8 embeddings are searched in place,
and every result is bit for bit the result of the float32 copy; everything
else is refused with a message that names what was given."""

import numpy as np
import pytest

import _velk
import velk

DIMS = [1, 7, 16, 17, 128, 384, 769]
STORAGES = ["float16", "bfloat16", "int8", "uint8"]


def native(queries, embeddings, k, threads=None, where=None, rows=None, offsets=None, storage=None):
    return velk._native.search(queries, embeddings, k, threads, where, rows, offsets, storage)


def stored_rows(storage, rng, n, dim):
    """(what the entry reads, storage argument, the float32 copy) for awkward
    values of each type: float16 subnormals, infinities and NaNs; bfloat16
    NaN payloads and infinities; int8 -128; uint8 255; whole zero rows."""
    if storage == "float16":
        bits = rng.integers(0x2000, 0x5800, (n, dim)).astype(np.uint16) | (rng.integers(0, 2, (n, dim)) << 15).astype(
            np.uint16
        )
        edges = np.array([0x0001, 0x03FF, 0x8200, 0x7C00, 0xFC00, 0x7E00, 0x7C01, 0xFD55, 0x7BFF], np.uint16)
        pick = rng.random((n, dim)) < 0.03
        bits[pick] = rng.choice(edges, pick.sum())
        stored = bits.view(np.float16)
        copy = stored.astype(np.float32)
        arg = None
    elif storage == "bfloat16":
        bits = rng.integers(0x3B00, 0x4300, (n, dim)).astype(np.uint16) | (rng.integers(0, 2, (n, dim)) << 15).astype(
            np.uint16
        )
        # Infinities, quiet and signalling NaNs with payloads, subnormals, values
        # whose squares overflow.
        edges = np.array([0x7F80, 0xFF80, 0x7FC1, 0x7F81, 0xFFAB, 0x0001, 0x807F, 0x7F7F, 0x7000], np.uint16)
        pick = rng.random((n, dim)) < 0.03
        bits[pick] = rng.choice(edges, pick.sum())
        stored = bits
        copy = (bits.astype(np.uint32) << 16).view(np.float32)
        arg = "bfloat16"
    else:
        info = np.iinfo(storage)
        stored = rng.integers(info.min, info.max + 1, (n, dim), dtype=storage)
        pick = rng.random((n, dim)) < 0.05
        stored[pick] = info.min if storage == "int8" else info.max
        stored[rng.random(n) < 0.05] = info.min if storage == "int8" else info.max
        copy = stored.astype(np.float32)
        arg = None
    zero = rng.random(n) < 0.08
    stored[zero] = 0
    copy[zero] = 0
    return np.ascontiguousarray(stored), arg, np.ascontiguousarray(copy)


def same_bits(got, want):
    assert got[0].dtype == np.float32 and got[1].dtype == np.int64
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_array_equal(got[0].view(np.uint32), want[0].view(np.uint32))


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("dim", DIMS)
@pytest.mark.parametrize(("nq", "threads"), [(1, None), (3, 1), (40, None), (40, 2)])
def test_every_result_is_the_float32_copys(storage, dim, nq, threads):
    rng = np.random.default_rng([dim, nq, STORAGES.index(storage)])
    n = 700 if dim < 300 else 150
    stored, arg, copy = stored_rows(storage, rng, n, dim)
    queries = rng.standard_normal((nq, dim)).astype(np.float32)
    queries[0, 0] = np.nan if nq > 2 else queries[0, 0]  # a NaN query scores NaN against every nonzero row
    k = 25
    got = native(queries, stored, k, threads, storage=arg)
    same_bits(got, native(queries, copy, k, threads))
    # And so what _velk, the float32-only module, gives on the copy.
    for q in range(1, min(nq, 3)):
        hits = _velk.top_k_flat_np(queries[q], copy, dim, k)
        assert got[1][q].tolist() == [i for i, _ in hits]
        assert got[0][q].tobytes() == np.array([s for _, s in hits], np.float32).tobytes()


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("nq", [1, 5])
@pytest.mark.parametrize("form", ["shared filter", "filter per query", "shared list", "list per query"])
def test_subset_searches_read_the_stored_rows(storage, nq, form):
    rng = np.random.default_rng([nq, STORAGES.index(storage), len(form)])
    n, dim = 3000, 33
    stored, arg, copy = stored_rows(storage, rng, n, dim)
    queries = rng.standard_normal((nq, dim)).astype(np.float32)
    sets = 1 if form.startswith("shared") else nq
    where = rows = offsets = None
    if form.endswith("filter"):
        # Dense and sparse filters take different paths through the core.
        where = rng.random((sets, n)) < np.array([0.6, 0.02, 0.3, 0.9, 0.01][:sets])[:, None]
    else:
        lists = [np.flatnonzero(rng.random(n) < 0.1) for _ in range(sets)]
        rows = np.concatenate(lists).astype(np.int64)
        offsets = np.concatenate([[0], np.cumsum([len(a) for a in lists])]).astype(np.int64)
    got = native(queries, stored, 10, None, where, rows, offsets, arg)
    same_bits(got, native(queries, copy, 10, None, where, rows, offsets))


@pytest.mark.parametrize("dtype", ["float16", "int8", "uint8"])
def test_velk_search_reads_compact_dtypes_and_memmaps_in_place(dtype, tmp_path):
    rng = np.random.default_rng(3)
    stored, _, copy = stored_rows(dtype, rng, 500, 24)
    mapped = np.memmap(tmp_path / "rows.bin", dtype=dtype, mode="w+", shape=stored.shape)
    mapped[:] = stored
    queries = rng.standard_normal((4, 24)).astype(np.float32)
    result = velk.search(queries, mapped, 7)
    same_bits((result.scores, result.indices), native(queries, copy, 7))


SWAPPED_HALF = np.ones((3, 2), np.float16).astype(np.dtype(np.float16).newbyteorder())
ACCEPTED = (
    "embeddings must hold float32, float16, bfloat16, int8 or uint8 in native byte order, not a 2-D array of {}; "
    "convert it once with numpy.ascontiguousarray(embeddings, dtype=numpy.float32), or dtype=numpy.float16 for half "
    "the memory"
)


@pytest.mark.parametrize(
    ("embeddings", "given"),
    [
        (np.ones((3, 2)), "float64 with shape (3, 2)"),
        (np.ones((3, 2), np.int16), "int16 with shape (3, 2)"),
        (np.ones((3, 2), np.uint16), "uint16 with shape (3, 2)"),
        (np.ones((3, 2), np.int32), "int32 with shape (3, 2)"),
        (np.ones((3, 2), bool), "bool with shape (3, 2)"),
        (np.ones((3, 2), np.longdouble), f"float{np.dtype(np.longdouble).itemsize * 8} with shape (3, 2)"),
        (SWAPPED_HALF, "byte-swapped float16 with shape (3, 2)"),
        (np.ones((3, 2), ">f4" if np.little_endian else "<f4"), "byte-swapped float32 with shape (3, 2)"),
    ],
)
def test_other_types_are_refused_with_the_accepted_ones_and_a_conversion(embeddings, given):
    with pytest.raises(TypeError) as raised:
        native(np.ones((1, 2), np.float32), embeddings, 1)
    assert str(raised.value) == ACCEPTED.format(given)


def misaligned(dtype, shape):
    raw = np.zeros(int(np.prod(shape)) * np.dtype(dtype).itemsize + 1, np.uint8)
    return raw[1:].view(dtype).reshape(shape)


@pytest.mark.parametrize(
    ("embeddings", "storage", "error", "message"),
    [
        (
            np.ones((4, 6), np.float16)[:, ::2],
            None,
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of float16 with "
            "shape (4, 3) and strides (12, 4); copy it once with numpy.ascontiguousarray(embeddings, "
            "dtype=numpy.float16)",
        ),
        (
            np.ones((4, 6), np.int8)[:, ::2],
            None,
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of int8 with "
            "shape (4, 3) and strides (6, 2); copy it once with numpy.ascontiguousarray(embeddings, dtype=numpy.int8)",
        ),
        (
            np.ones((6, 3), np.uint8)[::2],
            None,
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of uint8 with "
            "shape (3, 3) and strides (6, 1); copy it once with numpy.ascontiguousarray(embeddings, "
            "dtype=numpy.uint8)",
        ),
        (
            np.ones((4, 6), np.uint16)[:, ::2],
            "bfloat16",
            ValueError,
            "embeddings must be C-contiguous (one row after another in memory), not a 2-D array of bfloat16 with "
            "shape (4, 3) and strides (12, 4); copy it once with numpy.ascontiguousarray(embeddings, "
            "dtype=ml_dtypes.bfloat16)",
        ),
        (
            misaligned(np.float16, (4, 3)),
            None,
            ValueError,
            "embeddings must start at an address aligned to its 2-byte items, not a 2-D array of float16 with shape "
            "(4, 3) at an odd offset; copy it with numpy.require(embeddings, numpy.float16, ['C_CONTIGUOUS', "
            "'ALIGNED'])",
        ),
        (
            misaligned(np.uint16, (4, 3)),
            "bfloat16",
            ValueError,
            "embeddings must start at an address aligned to its 2-byte items, not a 2-D array of bfloat16 with shape "
            "(4, 3) at an odd offset; copy it with numpy.require(embeddings, ml_dtypes.bfloat16, ['C_CONTIGUOUS', "
            "'ALIGNED'])",
        ),
        (
            np.ones(3, np.int8),
            None,
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 1-D array of int8 with shape (3,); reshape "
            "it, for example embeddings.reshape(-1, dim)",
        ),
        (
            np.ones((2, 1, 3), np.uint16),
            "bfloat16",
            ValueError,
            "embeddings must be a 2-D array of shape (rows, dim), not a 3-D array of bfloat16 with shape (2, 1, 3); "
            "reshape it, for example embeddings.reshape(-1, dim)",
        ),
        (
            np.ones((4, 3), np.float32),
            "bfloat16",
            TypeError,
            "embeddings with storage 'bfloat16' must be a uint16 view of bfloat16 values in native byte order, not a "
            "2-D array of float32 with shape (4, 3)",
        ),
        (
            np.ones((4, 3), np.uint16),
            "float16",
            TypeError,
            "storage must be None or 'bfloat16', not 'float16'",
        ),
        (np.ones((4, 3), np.uint16), b"bfloat16", TypeError, "storage must be None or 'bfloat16', not b'bfloat16'"),
    ],
)
def test_layout_refusals_name_the_given_type_and_its_own_dtype(embeddings, storage, error, message):
    with pytest.raises(BaseException) as raised:
        native(np.ones((1, 3), np.float32), embeddings, 1, storage=storage)
    assert type(raised.value) is error and str(raised.value) == message


@pytest.mark.parametrize("dtype", [np.float16, np.int8, np.float64])
def test_queries_stay_float32_only(dtype):
    with pytest.raises(TypeError, match=r"^queries must hold float32 in native byte order, not a 2-D array of"):
        native(np.ones((1, 3), dtype), np.ones((4, 3), np.float16), 1)
