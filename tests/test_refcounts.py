"""Every reference a call takes is given back: the reference counts of
arguments, their elements and of error objects do not move over many calls,
on success and on every failure path, and results hold no extra references."""

import array
import sys

import numpy as np
import pytest

import _velk


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if callable(self.value):
            # A fresh exception each time: re-raising one instance would grow its
            # traceback and its reference count in plain Python too.
            raise self.value()
        return self.value


class Refused(ValueError):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class NotASequence:
    pass


class BadLength:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return 0.5
        raise IndexError


def _cases():
    f = [1.25 + i / 7 for i in range(8)]  # float objects that no cache shares
    cause = ValueError("root")

    def type_error():
        error = TypeError("element refused")
        error.__cause__ = cause
        return error

    odd = NotASequence()
    q32, e32 = np.array([1.0, 2.0], np.float32), np.array(f, np.float32)
    aq, ae = array.array("f", [1.0, 2.0]), array.array("f", f)
    e64 = np.array(f, np.float64)
    k_big, dim_index, huge = 2**40, Index(2), 2**70
    query, flat = [f[0], f[1]], list(f)
    rows = [[f[2], f[3]], (f[4],), [Float(f[5])]]
    bad = BadLength()

    def resumed_panic():
        try:
            _velk.top_k_flat([], [], 0, 0)
        except BaseException as error:  # noqa: BLE001
            return error

    panic_class = type(resumed_panic())
    return {
        "cosine": (lambda: _velk.cosine_similarity(query, (f[2], Float(f[3]))), [query, *f]),
        "cosine keywords": (lambda: _velk.cosine_similarity(b=flat, a=query), [query, flat, *f]),
        "prefixed element error": (lambda: _velk.cosine_similarity([f[0], "x"], query), [query, *f]),
        "element error unchanged": (lambda: _velk.cosine_similarity(query, [Float(Refused)]), [Refused, query]),
        "prefixed error with cause": (lambda: _velk.cosine_similarity([Float(type_error)], query), [cause, query]),
        "type mismatch": (lambda: _velk.cosine_similarity(odd, query), [odd, NotASequence, query]),
        "raising length": (lambda: _velk.cosine_similarity(bad, query), [bad, query]),
        "top_k": (lambda: _velk.top_k(query, rows, dim_index), [query, rows, *rows, dim_index, *f]),
        "top_k bad row": (lambda: _velk.top_k(query, [rows[0], "ab"], 2), [query, rows[0], *f]),
        "top_k overflow": (lambda: _velk.top_k(query, rows, huge), [query, rows, huge]),
        "binding": (lambda: _velk.top_k(query=query, embeddings=rows, K=1), [query, rows]),
        "too many": (lambda: _velk.top_k(query, rows, k_big, query), [query, rows, k_big]),
        "top_k_flat": (lambda: _velk.top_k_flat(query, flat, dim_index, k_big), [query, flat, dim_index, k_big, *f]),
        "top_k_flat panic": (lambda: _velk.top_k_flat(query, flat, 0, k_big), [query, flat, k_big]),
        "top_k_flat empty": (lambda: _velk.top_k_flat([0.0, f[0] * 0], flat, 2, k_big), [flat, k_big]),
        "numpy": (lambda: _velk.top_k_flat_np(q32, e32, dim_index, k_big), [q32, e32, dim_index, k_big]),
        "array": (lambda: _velk.top_k_flat_np(aq, ae, 2, 3), [aq, ae]),
        "same array twice": (lambda: _velk.top_k_flat_np(ae, ae, 2, 3), [ae]),
        "refused buffer": (lambda: _velk.top_k_flat_np(q32, e64, 2, 3), [q32, e64]),
        "no buffer": (lambda: _velk.top_k_flat_np(q32, flat, 2, 3), [q32, flat]),
        "np panic": (lambda: _velk.top_k_flat_np(q32, e32, 0, 3), [q32, e32]),
        "resumed panic": (
            lambda: _velk.cosine_similarity([Float(lambda: panic_class("again"))], query),
            [panic_class, query],
        ),
    }


CASES = _cases()


def call_and_drop(call):
    try:
        call()
    except BaseException:  # noqa: BLE001 - only the reference counts matter here
        pass


@pytest.mark.parametrize("case", CASES)
def test_reference_counts_do_not_move(case):
    call, objects = CASES[case]
    call_and_drop(call)  # first-use work: the panic class, the pool, interned names
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(300):
        call_and_drop(call)
    assert [sys.getrefcount(o) for o in objects] == before


@pytest.mark.parametrize(
    "call",
    [
        lambda: _velk.top_k([1.0, 0.0], [[1.0, 0.0], [1.0, 1.0]], 5),
        lambda: _velk.top_k_flat([1.0, 0.0], [1.0, 0.0, 1.0, 1.0], 2, 5),
        lambda: _velk.top_k_flat_np(np.ones(2, np.float32), np.ones(4, np.float32), 2, 5),
    ],
)
def test_results_hold_no_extra_references(call):
    # Counted outside assert statements, whose rewriting keeps references.
    result = call()
    plain = [(i, 1.5 * i) for i in range(2)]
    counts = [sys.getrefcount(result), sys.getrefcount(result[0]), sys.getrefcount(result[1][1])]
    expected = [sys.getrefcount(plain), sys.getrefcount(plain[0]), sys.getrefcount(plain[1][1])]
    assert counts == expected
    score = _velk.cosine_similarity([1.0, 2.0], [3.0, 4.5])
    plain_score = 1.5 * len(plain)
    counts, expected = sys.getrefcount(score), sys.getrefcount(plain_score)
    assert counts == expected
