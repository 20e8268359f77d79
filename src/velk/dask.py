"""Exact batch search over a dask array of embeddings, one ``velk.search`` call per chunk.

When the embeddings no longer fit one machine (or one array), keep them as a
dask array of shape (rows, dim), chunked along the rows. ``search`` runs
``velk.search`` on every chunk wherever dask schedules it (threads, processes,
a distributed cluster), shifts each chunk's row indices by the chunk's first
row, and merges the partial results into the global top k of every query.

The merge orders by velk's own key: the IEEE 754 total order of the float32
score, best first, then ascending row index among equal scores. Every score
depends only on its row and its query, and a chunk's top k holds every row of
the chunk that can reach the global top k, so the result is exactly what one
``velk.search(queries, numpy.asarray(embeddings), k)`` call returns, ties
included. Chunks of float16, bfloat16, int8 or uint8 are searched as they are,
with the scores of their float32 copy. Needs dask (``pip install "dask[array]"``).
"""

from __future__ import annotations

import itertools
import math
import operator
from typing import Any, SupportsIndex

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import delayed

from . import _STORAGE_DTYPES, SearchResult, _is_bfloat16, _query_matrix, _row_numbers, _where_matrix
from . import search as search_array

__all__ = ["search"]

# Partial results are merged in groups of this many, in a tree, so no single
# task receives every chunk's result.
MERGE_FAN_IN = 8


def rank_keys(scores: npt.NDArray[np.float32]) -> npt.NDArray[np.int64]:
    """Integer keys that order float32 scores as velk ranks them: a greater key
    ranks higher (IEEE 754 totalOrder), equal keys are tied scores."""
    bits = scores.view(np.int32).astype(np.int64)
    return np.where(bits < 0, bits ^ 0x7FFFFFFF, bits)


def merge(parts: list[SearchResult], k: int) -> SearchResult:
    """The k best of several (nq, width) results, ranked, row by row."""
    scores = np.concatenate([part.scores for part in parts], axis=1)
    indices = np.concatenate([part.indices for part in parts], axis=1)
    # lexsort's last key is the primary one: padding (index -1, from a part
    # with fewer candidates than k) last, whatever a real hit's score; then
    # best score first, then lower row.
    order = np.lexsort((indices, -rank_keys(scores), indices < 0), axis=1)[:, :k]
    return SearchResult(np.take_along_axis(scores, order, axis=1), np.take_along_axis(indices, order, axis=1))


class _Call:
    """Shared by the tasks of one search: once the caller has given up (Ctrl-C),
    tasks not started yet return at once. Only threads of the calling process
    see it; other processes simply finish their tasks."""

    __slots__ = ("abandoned", "number")
    _count = itertools.count()

    def __init__(self) -> None:
        self.abandoned = False
        # Distinct calls must never share a task key.
        self.number = next(self._count)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Call, ())


def chunk_search(
    queries: npt.NDArray[np.float32],
    block: npt.NDArray[Any],
    first_row: int,
    k: int,
    where: npt.NDArray[np.bool_] | None = None,
    rows: npt.NDArray[np.int64] | None = None,
    threads: int | None = None,
    call: _Call | None = None,
) -> SearchResult | None:
    """velk.search over one chunk, with row indices counted from the whole array's start."""
    if call is not None and call.abandoned:
        return None
    # A chunk that dask shipped between processes may arrive misaligned
    # (deserialised from a byte frame at any offset) or strided; copy only
    # then, in its own dtype: a compact chunk is never widened here.
    embeddings = np.require(block, requirements=["C_CONTIGUOUS", "ALIGNED"])
    scores, indices = search_array(queries, embeddings, k, where=where, rows=rows, threads=threads)
    return SearchResult(scores, np.where(indices >= 0, indices + first_row, indices))


def chunk_rows(numbers: npt.NDArray[np.int64], start: int, size: int) -> npt.NDArray[np.int64]:
    """The candidates among rows [start, start + size), counted from start; -1 for the others."""
    inside = (numbers >= start) & (numbers < start + size)
    return np.where(inside, numbers - start, -1)


def shared_or_each(candidates: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A (1, c) part as the (c,) every query shares, an (nq, c) part as is; C-contiguous."""
    return np.ascontiguousarray(candidates[0] if len(candidates) == 1 else candidates)


def _merge_task(parts: list[SearchResult | None], k: int, call: _Call) -> SearchResult | None:
    if call.abandoned or any(part is None for part in parts):
        return None
    return merge(parts, k)  # type: ignore[arg-type]


def _probe(embeddings: Any) -> npt.NDArray[Any]:
    """No rows of the embeddings' dtype and columns, for velk.search's own checks;
    or a TypeError when they are not a dask array."""
    if not isinstance(embeddings, da.Array):
        raise TypeError(
            f"embeddings must be a dask array, not {type(embeddings).__qualname__}; "
            f"for a numpy array or any other buffer, call velk.search(queries, embeddings, k) instead"
        )
    if any(math.isnan(size) for size in embeddings.shape):
        raise ValueError(
            f"the dask array's chunk sizes are unknown (shape {embeddings.shape}); "
            f"call embeddings.compute_chunk_sizes() first"
        )
    shape = tuple(int(size) for size in embeddings.shape)
    dtype = embeddings.dtype
    if embeddings.ndim == 2 and (dtype in _STORAGE_DTYPES or _is_bfloat16(dtype)):
        # Of the chunks' own dtype, so that the search checks what they hold.
        return np.empty((0, shape[1]), dtype=dtype)
    # Refused by velk.search: the array's own shape in its message, no memory.
    return np.broadcast_to(np.empty((1,) * len(shape), dtype=embeddings.dtype), shape)


def search(
    queries: npt.ArrayLike,
    embeddings: da.Array,
    k: SupportsIndex,
    *,
    where: npt.ArrayLike | None = None,
    rows: npt.ArrayLike | None = None,
    threads: int | None = None,
    **compute_kwargs: Any,
) -> SearchResult:
    """``velk.search`` over a 2-D dask array (rows, dim), chunk by chunk.

    Returns exactly what ``velk.search(queries, numpy.asarray(embeddings), k,
    where=where, rows=rows, threads=threads)`` returns, and refuses what it
    refuses, with its messages, before anything is computed: the dtype
    (float32, float16, bfloat16, int8 or uint8, each searched as it is), the
    shape, the queries, ``k`` and ``threads``. ``where`` and ``rows`` (numpy
    arrays, or anything numpy reads) are checked once against the whole array,
    then each chunk searches its own part of them. ``threads``
    caps the worker threads of each chunk's search, as in ``velk.search``.
    Arrays with unknown chunk sizes need ``compute_chunk_sizes()`` first. A
    numpy array (or any other non-dask object) is refused: call
    ``velk.search`` for it.

    ``compute_kwargs`` go to ``dask.compute`` (for example
    ``scheduler="threads"``); with a ``distributed.Client`` active, dask uses it
    by default. With the synchronous and threaded schedulers, Ctrl-C on the
    main thread stops the call; chunks not started by then are skipped.
    """
    # A search of no rows checks the embeddings' dtype and shape, the queries,
    # dim, k and threads exactly as a search of the whole array would, and is
    # the answer when nothing can be found.
    probe = _probe(embeddings)
    nothing = search_array(queries, probe, k, threads=threads)
    n, dim = (int(size) for size in embeddings.shape)
    matrix, single = _query_matrix(queries)
    if where is not None and rows is not None:
        # The same refusal as velk.search, from an empty search.
        search_array(queries, np.empty((0, dim), dtype=np.float32), k, where=where, rows=rows)
    mask = None if where is None else _where_matrix(where, len(matrix), n)
    numbers = None if rows is None else _row_numbers(rows, len(matrix), n)
    width = min(operator.index(k), n)
    if width == 0:
        return nothing

    # Whole rows in every chunk: a row split across chunks would be scored in parts.
    embeddings = embeddings.rechunk({1: -1})
    row_starts = np.concatenate([[0], np.cumsum(embeddings.chunks[0])[:-1]])
    call = _Call()
    call_task = delayed(call, pure=False)
    query_task = delayed(matrix, pure=True)
    partials = [
        delayed(chunk_search, pure=True)(
            query_task,
            block,
            int(start),
            width,
            None if mask is None else shared_or_each(mask[:, start : start + size]),
            None if numbers is None else shared_or_each(chunk_rows(numbers, int(start), int(size))),
            threads,
            call_task,
        )
        for block, start, size in zip(embeddings.to_delayed()[:, 0], row_starts, embeddings.chunks[0], strict=True)
    ]
    while len(partials) > 1:
        partials = [
            delayed(_merge_task, pure=True)(partials[i : i + MERGE_FAN_IN], width, call_task)
            for i in range(0, len(partials), MERGE_FAN_IN)
        ]
    try:
        (result,) = compute(partials[0], **compute_kwargs)
    except BaseException:
        call.abandoned = True
        raise
    scores, indices = result
    if single:
        return SearchResult(scores[0], indices[0])
    return SearchResult(scores, indices)
