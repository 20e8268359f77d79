"""Calls that the _velk stub must accept or refuse, checked two ways.

Type checkers: every assert_type must hold, and every "type: ignore" must be
needed (mypy --strict and pyright both report an unused one), so a stub that
accepted a refused call fails as surely as one that refused a good call.
Run as a script: the same calls go to the built module, so the stub's
promises are also held against what the module really returns and raises.
"""

import array
from collections.abc import Callable
from typing import assert_type

import numpy as np

import _velk

Hits = list[tuple[int, float]]


def accepted() -> None:
    score = _velk.cosine_similarity([1.0, 2.0], (3, 4))
    assert_type(score, float)
    assert isinstance(score, float)

    # Elements need only __float__ or __index__: bool, bytes items, numpy scalars.
    assert_type(_velk.cosine_similarity(b"\x01\x02", [True, np.float32(2.0)]), float)
    assert_type(_velk.cosine_similarity(a=range(3), b=[1, 2, 3]), float)

    nested = _velk.top_k([1.0, 0.0], [[0.0, 1.0], (1.0, 0.0)], 2)
    assert_type(nested, Hits)
    flat = _velk.top_k_flat(query=[1.0, 0.0], embeddings=[0.0, 1.0, 1.0, 0.0], dim=2, k=np.int64(2))
    assert_type(flat, Hits)

    rows = np.eye(3, dtype=np.float32)
    zero_copy = _velk.top_k_flat_np(rows[0], rows, 3, 2)
    assert_type(zero_copy, Hits)
    assert_type(_velk.top_k_flat_np(array.array("f", [1, 0]), memoryview(array.array("f", [1, 0, 0, 1])), 2, 1), Hits)

    for hits in (nested, flat, zero_copy):
        assert hits and all(type(i) is int and type(s) is float for i, s in hits), hits

    names: list[str] = list(_velk.__all__)
    assert names == ["cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]


def refused() -> None:
    # Each line is refused by the stub and raises TypeError at run time.
    cases: list[Callable[[], object]] = [
        lambda: _velk.cosine_similarity("ab", [1.0]),  # type: ignore[arg-type]
        lambda: _velk.cosine_similarity({1.0}, [1.0]),  # type: ignore[arg-type]
        lambda: _velk.top_k([1.0], [1.0, 2.0], 1),  # type: ignore[list-item]
        lambda: _velk.top_k([1.0], [[1.0]], 1.5),  # type: ignore[arg-type]
        lambda: _velk.top_k_flat([1.0], [1.0], "1", 1),  # type: ignore[arg-type]
        lambda: _velk.top_k_flat_np([1.0], [1.0], 1, 1),  # type: ignore[arg-type]
        lambda: _velk.top_k(query=[1.0], embeddings=[[1.0]], K=1),  # type: ignore[call-arg]
        lambda: _velk.cosine_similarity([1.0]),  # type: ignore[call-arg]
    ]
    for case in cases:
        try:
            case()
        except TypeError:
            continue
        raise AssertionError("the module accepted a call that its stub refuses")


if __name__ == "__main__":
    accepted()
    refused()
    print("ok")
