"""Exact, reproducible cosine similarity search over float32 embeddings, or over
compact ones: float16, bfloat16, int8 and uint8, read in place.

``velk.search`` answers many queries in one call and returns numpy arrays. Every
score is the float32 that ``_velk.top_k_flat_np`` computes for the same query
alone, bit for bit, whatever the batch size, the thread count or the processor.
Every float16, bfloat16, int8 and uint8 value is exactly a float32, so a compact
collection gives, bit for bit, what its float32 copy would give, at half or a
quarter of the memory. The four functions of the low-level module ``_velk`` are
re-exported here.
"""

from __future__ import annotations

import sys
from collections.abc import Buffer
from typing import Any, Literal, NamedTuple, SupportsIndex

import numpy as np
import numpy.typing as npt

from _velk import cosine_similarity, top_k, top_k_flat, top_k_flat_np

from . import _native

# The batch API first, then the single-query functions of _velk.
__all__ = ["SearchResult", "search", "cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]  # noqa: RUF022

# Element types that convert to float32 as _velk converts a number: to a
# Python float (a double) first, then rounded to the nearest float32.
_REAL_KINDS = frozenset("biuf")

# The embeddings' element types read in place, widened to float32 as they are
# scored; the buffer's own format tells them apart. bfloat16 has no buffer
# format, so it travels as its 16-bit patterns with its name beside them.
_STORAGE_DTYPES = (np.dtype(np.float32), np.dtype(np.float16), np.dtype(np.int8), np.dtype(np.uint8))
_ACCEPTED = "float32, float16, bfloat16, int8 or uint8"


class SearchResult(NamedTuple):
    """The best hits of each query, best first.

    ``scores`` (float32) and ``indices`` (int64) have shape (nq, min(k, n)), or
    (min(k, n),) for a single 1-D query. A query that finds fewer hits (an
    all-zero query finds none) has the rest of its row filled with index -1 and
    score -inf.
    """

    scores: npt.NDArray[np.float32]
    indices: npt.NDArray[np.int64]


def search(
    queries: npt.ArrayLike,
    embeddings: Buffer,
    k: SupportsIndex,
    *,
    where: npt.ArrayLike | None = None,
    rows: npt.ArrayLike | None = None,
    threads: int | None = None,
) -> SearchResult:
    """The k rows of ``embeddings`` most similar to each query, by cosine similarity.

    ``embeddings``: a C-contiguous array of shape (n, dim) of float32, float16,
    bfloat16 (``ml_dtypes.bfloat16``), int8 or uint8 in native byte order, or
    any object exporting such a buffer (``numpy.memmap`` included); it is read
    in place, never copied nor converted: compact values are widened to float32
    as they are scored. ``queries``: shape (dim,) or (nq, dim); float32 C-contiguous
    input is read in place, anything else real (other dtypes, lists, strided
    views) is converted to float32 once. ``threads`` caps the worker threads of
    this call; None uses them all.

    Row i of the result holds exactly what
    ``_velk.top_k_flat_np(queries[i], embeddings.astype(numpy.float32), dim, k)``
    returns (for float32 embeddings, no copy at all): the same indices in the
    same order, the same float32 scores, NaN and infinity included. Other dtypes
    are refused with a TypeError that says how to convert them once. Other Python threads
    run while the search computes; the arrays must not be changed until it
    returns.

    To search only some rows, give one of:

    - ``where``: a C-contiguous bool array of shape (n,) (one filter for every
      query) or (nq, n) (one per query); rows marked True are the candidates.
      It is read in place.
    - ``rows``: integer row numbers, of shape (c,) (one candidate list for
      every query) or (nq, c) (one per query); -1 entries are padding and
      ignored, a row given twice counts once.

    Row i of the result is then exactly what a search of query i over a copy
    of its candidate rows (in ascending row order) returns, with indices mapped
    back to row numbers of ``embeddings``; only those rows are read. A query
    with fewer than k candidates has the rest of its row filled with index -1
    and score -inf.

    On the main thread, Ctrl-C (or any signal handler that raises) stops the
    search within milliseconds: the handler's exception propagates and the next
    call is unaffected. Processes forked at any moment, from any thread, can
    search in the child (on its calling thread). Masked arrays are refused.
    """
    if _is_masked(embeddings):
        raise TypeError(_masked_message("embeddings"))
    matrix, single = _query_matrix(queries)
    embeddings, storage = _stored(embeddings)
    mask = lists = offsets = None
    if where is not None or rows is not None:
        try:
            n = _row_count(embeddings)
            if where is not None and rows is not None:
                raise TypeError(
                    "give where or rows, not both: where marks the candidate rows with True, rows lists their numbers"
                )
            if where is not None:
                mask = _where_matrix(where, len(matrix), n)
            elif rows is not None:
                lists, offsets = _row_lists(_row_numbers(rows, len(matrix), n))
        except Exception:
            # The embeddings, queries and threads are refused first, with the
            # search's own messages: a search for k = 0 checks them and scores
            # nothing. Only a call that fails crosses twice.
            _native.search(matrix, embeddings, 0, threads, None, None, None, storage)
            raise
    # One crossing: the embeddings' buffer, every remaining check, k, threads,
    # the result arrays and the search itself.
    scores, indices = _native.search(matrix, embeddings, k, threads, mask, lists, offsets, storage)
    if single:
        return SearchResult(scores[0], indices[0])
    return SearchResult(scores, indices)


def _row_count(embeddings: Buffer) -> int:
    """The embeddings' row count, which the candidates are checked against: a
    numpy array's own, or the buffer's first extent. Nothing else is checked
    here; the search checks the embeddings themselves."""
    if isinstance(embeddings, np.ndarray):
        return int(embeddings.shape[0]) if embeddings.ndim else 0
    with memoryview(embeddings) as view:
        return int(view.shape[0]) if view.shape else 0


def _where_matrix(where: npt.ArrayLike, nq: int, n: int) -> npt.NDArray[np.bool_]:
    """The filter as a (1, n) or (nq, n) bool array, the caller's memory itself."""
    array = np.asarray(where)
    expected = f"shape ({n},) for one filter or ({nq}, {n}) for one per query"
    if array.dtype != np.bool_:
        raise TypeError(
            f"where must be a bool array (True marks a candidate row), not {array.dtype}; "
            f"for row numbers use rows=, and turn a 0/1 mask into a filter with where != 0"
        )
    if array.shape not in ((n,), (nq, n)):
        raise ValueError(f"where has shape {array.shape}, but {nq} queries over {n} rows take {expected}")
    if not array.flags.c_contiguous:
        # Read in place, one row after another: a strided view would be read wrong.
        raise ValueError(
            f"where must be C-contiguous, not a view with strides {array.strides}; "
            f"copy it once with numpy.ascontiguousarray(where)"
        )
    return array.reshape(1, n) if array.ndim == 1 else array


def _row_numbers(rows: npt.ArrayLike, nq: int, n: int) -> npt.NDArray[np.int64]:
    """The candidate lists as a checked (1, c) or (nq, c) int64 array, -1 kept."""
    array = np.asarray(rows)
    if array.size == 0 and array.dtype == np.float64 and isinstance(rows, (list, tuple)):
        array = array.astype(np.int64)  # an empty list is no candidate, not a float
    if array.dtype.kind not in "iu":
        raise TypeError(
            f"rows must hold integer row numbers, not {array.dtype}; "
            f"for a bool filter use where=, and convert whole numbers with rows.astype(numpy.int64)"
        )
    if array.ndim not in (1, 2) or (array.ndim == 2 and array.shape[0] != nq):
        raise ValueError(
            f"rows has shape {array.shape}, but {nq} queries take shape (c,) for one candidate list "
            f"or ({nq}, c) for one per query"
        )
    outside = (array < -1) | (array >= n)
    if outside.any():
        first = int(np.argmax(outside))
        position = ", ".join(str(int(i)) for i in np.unravel_index(first, array.shape))
        value = array.reshape(-1)[first]
        raise IndexError(
            f"rows[{position}] is {value}, not a row number: the embeddings have n = {n} rows, "
            f"numbered 0 to {n - 1} (-1 marks padding)"
        )
    array = array.astype(np.int64, copy=False)
    return array.reshape(1, -1) if array.ndim == 1 else array


def _row_lists(numbers: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Each list ascending, without padding or repeats, one after another, and
    where each starts (and the last ends)."""
    ordered = np.sort(numbers, axis=1)
    keep = ordered >= 0
    keep[:, 1:] &= ordered[:, 1:] != ordered[:, :-1]
    offsets = np.zeros(len(ordered) + 1, dtype=np.int64)
    np.cumsum(keep.sum(axis=1), out=offsets[1:])
    return np.ascontiguousarray(ordered[keep]), offsets


def _query_matrix(queries: npt.ArrayLike) -> tuple[npt.NDArray[np.float32], bool]:
    """The queries as a C-contiguous, aligned float32 (nq, columns) array, and
    whether a single 1-D query was given. The columns are checked against the
    embeddings' dim where the embeddings are read."""
    if isinstance(queries, (str, bytes)):
        raise TypeError(f"queries must be real numbers, not {type(queries).__qualname__}")
    if _is_masked(queries):
        raise TypeError(_masked_message("queries"))
    try:
        array = np.asarray(queries)
    except (TypeError, ValueError) as error:
        raise ValueError(
            f"queries must be an array of shape (dim,) or (nq, dim); numpy cannot read the "
            f"{type(queries).__qualname__} given: {error}"
        ) from error
    if array.dtype == object:
        # Numbers numpy keeps as objects (ints past 64 bits, Fractions, Decimals):
        # each becomes a Python float, as _velk converts it.
        array = _object_reals(array)
    if array.dtype.kind not in _REAL_KINDS:
        raise TypeError(
            f"queries must hold real numbers, not {array.dtype} ({type(queries).__qualname__}); "
            f"convert them with numpy.asarray(queries, dtype=numpy.float32)"
        )
    if array.ndim not in (1, 2):
        raise ValueError(f"queries must have shape (dim,) or (nq, dim), not {array.shape}")
    if array.dtype != np.float32:
        # Through float64, so that every number narrows as _velk narrows it.
        with np.errstate(over="ignore"):
            array = array.astype(np.float64, copy=False).astype(np.float32)
    matrix = np.require(array, np.float32, ["C_CONTIGUOUS", "ALIGNED"])
    return (matrix.reshape(1, -1), True) if matrix.ndim == 1 else (matrix, False)


def _is_bfloat16(dtype: np.dtype[Any]) -> bool:
    """Whether a dtype is bfloat16 (ml_dtypes', or any other library's of the
    same name): told by its name and size, so that ml_dtypes is never imported
    here. A user-defined numpy type has a number from 256 up."""
    return dtype.name == "bfloat16" and dtype.itemsize == 2 and dtype.num >= 256


def _stored(embeddings: Buffer) -> tuple[Buffer, Literal["bfloat16"] | None]:
    """The embeddings as the native search takes them, and the storage name it
    needs beside them: a bfloat16 array becomes a view of its 16-bit patterns
    (no copy; the native checks then name it bfloat16), every other input
    passes unchanged, its buffer format telling its type. Other numpy types
    that cannot export a buffer at all (other ml_dtypes types, dates) are
    refused here, with the search's own messages."""
    if not isinstance(embeddings, np.ndarray) or embeddings.dtype in _STORAGE_DTYPES:
        return embeddings, None
    dtype = embeddings.dtype
    if _is_bfloat16(dtype):
        return embeddings.view(np.uint16), "bfloat16"
    if dtype.num < 256 and dtype.kind not in "mM":
        return embeddings, None  # the native checks name its buffer's type
    described = (
        f"a {embeddings.ndim}-D array of {dtype.name} with shape {embeddings.shape}"
        if embeddings.ndim
        else f"a 0-d array of {dtype.name}"
    )
    if embeddings.ndim != 2:
        raise ValueError(
            f"embeddings must be a 2-D array of shape (rows, dim), not {described}; "
            f"reshape it, for example embeddings.reshape(-1, dim)"
        )
    raise TypeError(
        f"embeddings must hold {_ACCEPTED} in native byte order, not {described}; convert it once with "
        f"numpy.ascontiguousarray(embeddings, dtype=numpy.float32), or dtype=numpy.float16 for half the memory"
    )


def _is_masked(array: object) -> bool:
    # Without importing numpy.ma (numpy loads it on first use): an import takes
    # locks that a fork from another thread could leave held in the child, and
    # no masked array exists before numpy.ma is loaded.
    ma = sys.modules.get("numpy.ma")
    return ma is not None and isinstance(array, ma.MaskedArray)


def _masked_message(name: str) -> str:
    return (
        f"{name} must not be a masked array: the search would read the masked values as they are; "
        f"pass {name}.filled(value) or only the rows you mean to search"
    )


def _object_reals(array: npt.NDArray[np.object_]) -> npt.NDArray[Any]:
    """An object array of real numbers as float64, each read as a Python float
    (``__float__``, else ``__index__``) the way ``_velk`` reads one; the
    object array is returned as it is when an element is not a real number."""
    values = []
    for item in array.flat:
        kind = type(item)
        if isinstance(item, (str, bytes, bytearray, complex, np.complexfloating)) or not (
            hasattr(kind, "__float__") or hasattr(kind, "__index__")
        ):
            return array
        values.append(float(item))
    return np.array(values, dtype=np.float64).reshape(array.shape)
