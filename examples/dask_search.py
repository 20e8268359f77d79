"""Exact batch search over a dask array with velk.dask.search.

When the embeddings no longer fit one machine (or one array), keep them as a
dask array of shape (rows, dim), chunked along the rows. ``velk.dask.search``
runs one ``velk.search`` call per chunk wherever dask schedules it and merges
the partial results exactly: the answer is the one a single call over the
whole array gives, ties included.

    .venv/bin/python examples/dask_search.py
"""

from __future__ import annotations

import time

import dask.array as da
import numpy as np

import velk
import velk.dask


def main() -> None:
    rows, dim, k, nq = 200_000, 128, 5, 3
    rng = np.random.default_rng(7)
    whole = rng.standard_normal((rows, dim), dtype=np.float32)
    queries = rng.standard_normal((nq, dim), dtype=np.float32)
    embeddings = da.from_array(whole, chunks=(25_000, dim))

    start = time.perf_counter()
    chunked = velk.dask.search(queries, embeddings, k, scheduler="threads")
    chunked_seconds = time.perf_counter() - start
    start = time.perf_counter()
    single = velk.search(queries, whole, k)
    single_seconds = time.perf_counter() - start

    print(f"{rows:,} rows x {dim} in {embeddings.numblocks[0]} chunks, {nq} queries, k = {k}")
    for q in range(nq):
        hits = ", ".join(
            f"{i} ({s:.7f})" for i, s in zip(chunked.indices[q].tolist(), chunked.scores[q].tolist(), strict=True)
        )
        print(f"  query {q}: {hits}")
    print(f"dask (threads): {chunked_seconds * 1e3:.1f} ms; one call: {single_seconds * 1e3:.1f} ms")
    same = np.array_equal(chunked.indices, single.indices) and chunked.scores.tobytes() == single.scores.tobytes()
    print("same result as one call over the whole array:", same)


if __name__ == "__main__":
    main()
