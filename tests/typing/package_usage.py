"""Calls that the velk package's annotations must accept or refuse, checked
the same two ways as velk_usage.py: by the type checkers, and at run time."""

from collections.abc import Callable
from typing import assert_type

import numpy as np
import numpy.typing as npt

import velk

E = np.eye(3, dtype=np.float32)


def accepted() -> None:
    result = velk.search(E, E, 2)
    assert_type(result, velk.SearchResult)
    assert_type(result.scores, npt.NDArray[np.float32])
    assert_type(result.indices, npt.NDArray[np.int64])
    scores, indices = result
    assert scores.shape == indices.shape == (3, 2)

    # Queries may be lists or other real dtypes, k any integer, threads a cap.
    single = velk.search([1.0, 0.0, 0.0], memoryview(E), np.int64(1), threads=1)
    assert single.indices.tolist() == [0]
    assert_type(velk.search(E.astype(np.float64), E, True, threads=None), velk.SearchResult)
    assert_type(velk.top_k_flat_np(E[0], E, 3, 1), list[tuple[int, float]])

    # Compact embeddings are searched in place, with the float32 copy's result.
    compact = velk.search(E, E.astype(np.float16), 2, rows=[0, 2])
    assert_type(compact, velk.SearchResult)
    assert compact.indices.tolist() == velk.search(E, E, 2, rows=[0, 2]).indices.tolist()
    assert_type(velk.search(E[0], (E * 100).astype(np.int8), 1, where=np.ones(3, bool)), velk.SearchResult)


def refused() -> None:
    # Each line is refused by the annotations and raises TypeError at run time.
    cases: list[Callable[[], object]] = [
        lambda: velk.search(E, [[1.0, 0.0, 0.0]], 1),  # type: ignore[arg-type]
        lambda: velk.search(E, E, 1.5),  # type: ignore[arg-type]
        lambda: velk.search(E, E, 1, 2),  # type: ignore[call-arg]
        lambda: velk.search(E, E, 1, threads="2"),  # type: ignore[arg-type]
    ]
    for case in cases:
        try:
            case()
        except TypeError:
            continue
        raise AssertionError("velk accepted a call that its annotations refuse")


if __name__ == "__main__":
    accepted()
    refused()
    print("ok")
