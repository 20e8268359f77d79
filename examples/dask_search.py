"""Exact top-k over a dask array of embeddings, one _velk call per chunk.

When the embeddings no longer fit one machine (or one array), keep them as a
dask array of shape (rows, dim), chunked along the rows. ``dask_top_k`` runs
``_velk.top_k_flat_np`` on every chunk wherever dask schedules it (threads,
processes, a distributed cluster), shifts each chunk's row indices by the
chunk's first row, and merges the partial lists into the global top k.

The merge orders by the same key as _velk itself: the IEEE 754 total order of
the float32 score, best first, and ascending row index among equal scores.
Every score depends only on its row and the query, and a chunk's top k holds
every row that can reach the global top k, so the result is exactly what one
``top_k_flat_np(query, whole_array, dim, k)`` call returns, ties included.

Run it as a script for a small demonstration:

    .venv/bin/python examples/dask_search.py
"""

from __future__ import annotations

import heapq
import operator
import struct
import time
from collections.abc import Iterable, Sequence
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import compute
from dask.delayed import delayed

import _velk

Hit = tuple[int, float]

# Partial results are merged in groups of this many, in a tree, so no single
# task receives every chunk's list.
MERGE_FAN_IN = 8


def rank_key(hit: Hit) -> tuple[int, int]:
    """Sort key, smallest first: best score by IEEE totalOrder, then lower row.

    Scores are float32 values widened exactly to doubles; widening keeps the
    total order (sign, NaN payload order, -0.0 below +0.0), so the double's bits
    order the hits as _velk orders the float32 scores.
    """
    bits = struct.unpack("<q", struct.pack("<d", hit[1]))[0]
    key = bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits
    return (-key, hit[0])


def merge_hits(parts: Iterable[Sequence[Hit]], k: int) -> list[Hit]:
    """The k best of several already ranked hit lists, ranked."""
    return heapq.nsmallest(k, [hit for part in parts for hit in part], key=rank_key)


def chunk_top_k(query: npt.NDArray[np.float32], block: npt.NDArray[np.floating], first_row: int, k: int) -> list[Hit]:
    """_velk's top k of one chunk, with row indices counted from the whole array's start."""
    # top_k_flat_np reads memory in place and refuses what it cannot read as
    # float32 rows. A chunk that dask shipped between processes may arrive
    # misaligned (deserialised from a byte frame at any offset) or strided;
    # copy only then. An aligned C-contiguous float32 chunk is used as it is.
    rows = np.require(block, dtype=np.float32, requirements=["C_CONTIGUOUS", "ALIGNED"])
    q = np.require(query, dtype=np.float32, requirements=["C_CONTIGUOUS", "ALIGNED"])
    return [(first_row + index, score) for index, score in _velk.top_k_flat_np(q, rows, rows.shape[1], k)]


def dask_top_k(query: npt.ArrayLike, embeddings: da.Array, k: int, **compute_kwargs: Any) -> list[Hit]:
    """Global top k of ``embeddings`` (a 2-D dask array, rows x dim) for ``query``.

    Returns what ``_velk.top_k_flat_np(query, numpy.asarray(embeddings), dim, k)``
    returns, computed chunk by chunk; the query is taken as float32 (a list is
    narrowed as top_k_flat narrows it). ``compute_kwargs`` go to ``dask.compute``
    (for example ``scheduler="threads"``); with a ``distributed.Client`` active,
    dask uses it by default.
    """
    if embeddings.ndim != 2:
        raise ValueError(f"embeddings must be a 2-D dask array (rows, dim), not {embeddings.ndim}-D")
    q = np.ascontiguousarray(query, dtype=np.float32)
    dim = int(embeddings.shape[1])
    # One call on no rows checks dim and k exactly as a call over the whole
    # array would (dim 0 panics, a negative k is an OverflowError, ...) and
    # answers the degenerate cases.
    nothing = _velk.top_k_flat_np(q, np.empty((0, dim), dtype=np.float32), dim, k)
    k = operator.index(k)
    if k == 0 or embeddings.shape[0] == 0:
        return nothing

    # Whole rows in every chunk: a row split across chunks would be scored in parts.
    embeddings = embeddings.rechunk({1: -1})
    row_starts = np.concatenate([[0], np.cumsum(embeddings.chunks[0])[:-1]])
    query_task = delayed(q, pure=True)
    partials = [
        delayed(chunk_top_k, pure=True)(query_task, block, int(start), k)
        for block, start in zip(embeddings.to_delayed()[:, 0], row_starts)
    ]
    while len(partials) > 1:
        partials = [
            delayed(merge_hits, pure=True)(partials[i : i + MERGE_FAN_IN], k)
            for i in range(0, len(partials), MERGE_FAN_IN)
        ]
    (result,) = compute(partials[0], **compute_kwargs)
    return list(result)


def main() -> None:
    rows, dim, k = 200_000, 128, 5
    rng = np.random.default_rng(7)
    whole = rng.standard_normal((rows, dim), dtype=np.float32)
    query = rng.standard_normal(dim, dtype=np.float32)
    embeddings = da.from_array(whole, chunks=(25_000, dim))

    start = time.perf_counter()
    chunked = dask_top_k(query, embeddings, k, scheduler="threads")
    chunked_seconds = time.perf_counter() - start
    start = time.perf_counter()
    single = _velk.top_k_flat_np(query, whole, dim, k)
    single_seconds = time.perf_counter() - start

    print(f"{rows:,} rows x {dim} in {embeddings.numblocks[0]} chunks, k = {k}")
    for index, score in chunked:
        print(f"  row {index:>7}  score {score:.7f}")
    print(f"dask (threads): {chunked_seconds * 1e3:.1f} ms; one call: {single_seconds * 1e3:.1f} ms")
    print("same result as one call over the whole array:", chunked == single)


if __name__ == "__main__":
    main()
