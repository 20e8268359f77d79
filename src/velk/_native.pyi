# The compiled part of velk. Private: velk.search checks and converts its
# arguments, then calls these.
from collections.abc import Buffer

def embeddings_shape(embeddings: Buffer, /) -> tuple[int, int]:
    """(rows, dim) of a C-contiguous float32 matrix that search_into can read in place."""

def search_into(queries: Buffer, embeddings: Buffer, k: int, threads: int, scores: Buffer, indices: Buffer, /) -> None:
    """Fills scores and indices with the top k of every query, without the interpreter lock."""
