"""A tour of _velk on a seeded collection: the four functions, their best hits,
and the time of each call next to the same search done with numpy.

Run with `make demo`.
"""

from __future__ import annotations

import math
import time

import numpy as np

import _velk

ROWS = 100_000
DIM = 128
K = 5
SEED = 20261208


def timed(function, *args, repeat: int = 3):
    """Best of `repeat` wall-clock runs, and the last result."""
    best = math.inf
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def numpy_top_k(query: np.ndarray, embeddings: np.ndarray, k: int) -> list[tuple[int, float]]:
    """The usual numpy recipe: scores for every row, then a partial sort."""
    scores = (embeddings @ query) / (np.linalg.norm(embeddings, axis=1) * np.linalg.norm(query))
    best = np.argpartition(-scores, k)[:k]
    best = best[np.argsort(-scores[best], kind="stable")]
    return [(int(i), float(scores[i])) for i in best]


def show(title: str, hits: list[tuple[int, float]]) -> None:
    print(f"  {title}")
    for rank, (index, score) in enumerate(hits, 1):
        print(f"    {rank}. row {index:>6}  score {score:.9f}")


def main() -> None:
    rng = np.random.default_rng(SEED)
    embeddings = rng.standard_normal((ROWS, DIM), dtype=np.float32)
    # A query close to a known row, so the right answer is visible.
    target = 4242
    query = (embeddings[target] + 0.3 * rng.standard_normal(DIM, dtype=np.float32)).astype(np.float32)

    print(f"velk demo: {ROWS:,} rows x {DIM} float32, seed {SEED}, query near row {target}\n")

    a, b = embeddings[0].tolist(), embeddings[1].tolist()
    t_velk, score = timed(_velk.cosine_similarity, a, b, repeat=1000)
    t_np, ref = timed(lambda x, y: float(np.dot(x, y) / (np.linalg.norm(x) * np.linalg.norm(y))),
                      embeddings[0], embeddings[1], repeat=1000)
    print("cosine_similarity(row 0, row 1) from two Python lists")
    print(f"  velk  {score:.9f}  {t_velk * 1e6:8.1f} us")
    print(f"  numpy {ref:.9f}  {t_np * 1e6:8.1f} us (on arrays already made)\n")

    print(f"top_k_flat_np(query, embeddings, {DIM}, {K}): zero-copy on the numpy arrays")
    t_velk, hits = timed(_velk.top_k_flat_np, query, embeddings, DIM, K)
    t_np, ref_hits = timed(numpy_top_k, query, embeddings, K)
    show("velk", hits)
    print(f"  velk {t_velk * 1e3:8.2f} ms   numpy recipe {t_np * 1e3:8.2f} ms   "
          f"same rows: {[i for i, _ in hits] == [i for i, _ in ref_hits]}\n")

    subset = ROWS
    flat_list = embeddings[:subset].ravel().tolist()
    query_list = query.tolist()
    print(f"top_k_flat(query, flat list of {subset:,} rows, {DIM}, {K}): from Python lists")
    t_velk, hits_flat = timed(_velk.top_k_flat, query_list, flat_list, DIM, K)
    t_np, _ = timed(lambda q, e: numpy_top_k(np.asarray(q, dtype=np.float32),
                                             np.asarray(e, dtype=np.float32).reshape(-1, DIM), K),
                    query_list, flat_list)
    show("velk", hits_flat)
    print(f"  velk {t_velk * 1e3:8.2f} ms   np.asarray + numpy recipe {t_np * 1e3:8.2f} ms\n")

    nested = embeddings[:subset].tolist()
    print(f"top_k(query, list of {subset:,} row lists, {K}): nested rows, scored on the calling thread")
    t_velk, hits_nested = timed(_velk.top_k, query_list, nested, K)
    t_np, _ = timed(lambda q, e: numpy_top_k(np.asarray(q, dtype=np.float32), np.asarray(e, dtype=np.float32), K),
                    query_list, nested)
    show("velk", hits_nested)
    print(f"  velk {t_velk * 1e3:8.2f} ms   np.asarray + numpy recipe {t_np * 1e3:8.2f} ms")
    same = [(i, s) for i, s in hits_nested] == [(i, s) for i, s in hits_flat]
    print(f"  nested and flat results identical, bit for bit: {same}\n")

    print("Exactness: the same call twice gives the same bits, and the flat and nested forms agree.")
    again = _velk.top_k_flat_np(query, embeddings, DIM, K)
    print(f"  repeat identical: {again == hits}")


if __name__ == "__main__":
    main()
