"""Exact, reproducible cosine similarity search over float32 embeddings.

``velk.search`` answers many queries in one call and returns numpy arrays. Every
score is the float32 that ``_velk.top_k_flat_np`` computes for the same query
alone, bit for bit, whatever the batch size, the thread count or the processor.
The four functions of the low-level module ``_velk`` are re-exported here.
"""

from __future__ import annotations

import sys
from collections.abc import Buffer
from typing import Any, NamedTuple, SupportsIndex

import numpy as np
import numpy.typing as npt

from _velk import cosine_similarity, top_k, top_k_flat, top_k_flat_np

from . import _native

# The batch API first, then the single-query functions of _velk.
__all__ = ["SearchResult", "search", "cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]  # noqa: RUF022

# Element types that convert to float32 as _velk converts a number: to a
# Python float (a double) first, then rounded to the nearest float32.
_REAL_KINDS = frozenset("biuf")


class SearchResult(NamedTuple):
    """The best hits of each query, best first.

    ``scores`` (float32) and ``indices`` (int64) have shape (nq, min(k, n)), or
    (min(k, n),) for a single 1-D query. A query that finds fewer hits (an
    all-zero query finds none) has the rest of its row filled with index -1 and
    score -inf.
    """

    scores: npt.NDArray[np.float32]
    indices: npt.NDArray[np.int64]


def search(queries: npt.ArrayLike, embeddings: Buffer, k: SupportsIndex, *, threads: int | None = None) -> SearchResult:
    """The k rows of ``embeddings`` most similar to each query, by cosine similarity.

    ``embeddings``: a C-contiguous float32 array of shape (n, dim), or any object
    exporting such a buffer (``numpy.memmap`` included); it is read in place,
    never copied. ``queries``: shape (dim,) or (nq, dim); float32 C-contiguous
    input is read in place, anything else real (other dtypes, lists, strided
    views) is converted to float32 once. ``threads`` caps the worker threads of
    this call; None uses them all.

    Row i of the result holds exactly what
    ``_velk.top_k_flat_np(queries[i], embeddings, dim, k)`` returns: the same
    indices in the same order, the same float32 scores. Other Python threads
    run while the search computes; the arrays must not be changed until it
    returns.

    On the main thread, Ctrl-C (or any signal handler that raises) stops the
    search within milliseconds: the handler's exception propagates and the next
    call is unaffected. Processes forked at any moment, from any thread, can
    search in the child (on its calling thread). Masked arrays are refused.
    """
    if _is_masked(embeddings):
        raise TypeError(_masked_message("embeddings"))
    matrix, single = _query_matrix(queries)
    # One crossing: the embeddings' buffer, every remaining check, k, threads,
    # the result arrays and the search itself.
    scores, indices = _native.search(matrix, embeddings, k, threads)
    if single:
        return SearchResult(scores[0], indices[0])
    return SearchResult(scores, indices)


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
