"""Hostile sizes and hostile arguments: lying lengths, extreme counts, degenerate
arrays, and caller code that changes its data while the module converts it.
Each gets its documented result or its documented exception, never a crash."""

import array
import ctypes
import json
import pickle
import sys
from pathlib import Path

import numpy as np
import pytest

import _velk

from conftest import PanicException, hit_bits, ref_top_k, ref_top_k_flat, run_python

U64_MAX = 2**64 - 1
UNDER_ASAN = "asan" in Path("/proc/self/maps").read_text()


class Claims:
    """A sequence whose __len__ claims `length` items while it yields `items`."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]


@pytest.mark.parametrize("length", [2**60, 2**61 - 1, 0, 1])
def test_a_lying_length_only_sizes_the_reservation(length):
    # 2**60 floats cannot be reserved; the conversion grows as items arrive instead.
    # (2**61 floats would be 2**63 bytes, past the largest allocation: a panic, below.)
    assert _velk.cosine_similarity(Claims([3.0, 4.0], length), [3.0, 4.0]) == pytest.approx(1.0, abs=1e-6)
    assert _velk.top_k_flat(Claims([1.0, 0.0], length), Claims([1.0, 0.0, 0.0, 1.0], length), 2, 2) == [
        (0, 1.0),
        (1, 0.0),
    ]


@pytest.mark.parametrize(
    "call",
    [
        lambda c: _velk.cosine_similarity(c, [1.0]),
        lambda c: _velk.top_k_flat([1.0], c, 1, 1),
        lambda c: _velk.top_k([1.0], [c], 1),
    ],
)
def test_a_length_beyond_any_allocation_is_a_capacity_overflow_panic(call):
    with pytest.raises(PanicException, match="^capacity overflow$"):
        call(Claims([1.0], sys.maxsize))
    assert _velk.cosine_similarity([1.0], [1.0]) == 1.0


def test_rows_claiming_2_60_items_overflow_the_row_reservation():
    # One row record is 24 bytes, so 2**60 of them exceed the largest allocation.
    with pytest.raises(PanicException, match="^capacity overflow$"):
        _velk.top_k([1.0], Claims([[1.0]], 2**60), 1)
    assert _velk.top_k([1.0], Claims([[1.0]], 2**40), 1) == [(0, 1.0)]


@pytest.mark.parametrize("dim", [2**32, 2**63, U64_MAX])
def test_a_huge_dim_leaves_no_rows(dim):
    assert _velk.top_k_flat([1.0], [1.0, 2.0, 3.0], dim, 5) == []
    assert _velk.top_k_flat_np(np.ones(1, np.float32), np.ones(3, np.float32), dim, 5) == []


@pytest.mark.parametrize("function", [_velk.top_k_flat, _velk.top_k_flat_np])
def test_k_at_the_top_of_the_count_range_returns_every_row(function):
    convert = (lambda v: np.asarray(v, np.float32)) if function is _velk.top_k_flat_np else list
    result = function(convert([1.0, 0.0]), convert([0.0, 1.0, 1.0, 0.0, 1.0, 1.0]), 2, U64_MAX)
    assert [index for index, _ in result] == [1, 2, 0]
    with pytest.raises(OverflowError):
        function(convert([1.0]), convert([1.0]), 1, U64_MAX + 1)
    with pytest.raises(OverflowError):
        function(convert([1.0]), convert([1.0]), U64_MAX + 1, 1)


def test_nested_k_at_the_top_of_the_count_range():
    assert _velk.top_k([1.0], [[1.0], [-1.0]], U64_MAX) == [(0, 1.0), (1, -1.0)]


EMPTY_AND_SINGLE = [
    (np.zeros(0, np.float32), np.zeros(0, np.float32), 1, 1, []),
    (np.ones(1, np.float32), np.zeros(0, np.float32), 1, 1, []),
    (np.zeros(0, np.float32), np.ones(4, np.float32), 2, 1, []),
    (np.ones(1, np.float32), np.ones(1, np.float32), 1, 1, [(0, 1.0)]),
    (np.full(1, 2.0, np.float32), np.full(1, -3.0, np.float32), 1, 9, [(0, -1.0)]),
    (np.ones(1, np.float32), np.ones(1, np.float32), 2, 1, []),
    (np.ones((1, 1), np.float32), np.ones((1, 1), np.float32), 1, 1, [(0, 1.0)]),
    (np.ones((0, 4), np.float32), np.ones((3, 0), np.float32), 4, 1, []),
]


@pytest.mark.parametrize("query, embeddings, dim, k, expected", EMPTY_AND_SINGLE)
def test_empty_and_one_element_arrays(query, embeddings, dim, k, expected):
    assert _velk.top_k_flat_np(query, embeddings, dim, k) == expected
    assert _velk.top_k_flat(query.ravel().tolist(), embeddings.ravel().tolist(), dim, k) == expected


@pytest.mark.parametrize("zero_d", [np.array(1.0, np.float32), memoryview(bytearray(4)).cast("f", ())])
def test_zero_dimensional_exports_are_refused(zero_d):
    with pytest.raises(BufferError, match="^shape is null$"):
        _velk.top_k_flat_np(zero_d, np.ones(2, np.float32), 1, 1)
    with pytest.raises(BufferError, match="^shape is null$"):
        _velk.top_k_flat_np(np.ones(2, np.float32), zero_d, 1, 1)


def test_zero_dimensional_arrays_are_not_iterable_vectors():
    with pytest.raises(TypeError, match="^argument 'a': iteration over a 0-d array$"):
        _velk.cosine_similarity(np.array(1.0), [1.0])


@pytest.mark.parametrize("make", [lambda: (ctypes.c_float * 2)(1.0, 0.0), lambda: (ctypes.c_float * 2 * 2)()])
def test_exports_without_strides_are_refused(make):
    # ctypes arrays describe their shape but leave strides out.
    with pytest.raises(BufferError, match="^strides is null$"):
        _velk.top_k_flat_np(make(), np.ones(2, np.float32), 2, 1)
    with pytest.raises(BufferError, match="^strides is null$"):
        _velk.top_k_flat_np(np.ones(2, np.float32), make(), 2, 1)


def test_an_export_forwarded_by_another_object_is_read_in_place():
    embeddings = np.array([0.0, 1.0, 1.0, 0.0], np.float32)
    forwarded = pickle.PickleBuffer(embeddings)
    assert _velk.top_k_flat_np(pickle.PickleBuffer(embeddings[2:]), forwarded, 2, 2) == [(1, 1.0), (0, 0.0)]
    forwarded.release()  # refused while the module still held a view


def test_read_only_arrays_are_accepted():
    query = np.array([1.0, 0.0], np.float32)
    embeddings = np.array([1.0, 0.0, 0.0, 1.0], np.float32)
    query.flags.writeable = False
    embeddings.flags.writeable = False
    frozen = np.frombuffer(bytes(embeddings.data), dtype=np.float32)
    assert _velk.top_k_flat_np(query, embeddings, 2, 2) == [(0, 1.0), (1, 0.0)]
    assert _velk.top_k_flat_np(query, frozen, 2, 2) == [(0, 1.0), (1, 0.0)]
    assert _velk.top_k_flat(query, embeddings, 2, 1) == [(0, 1.0)]


@pytest.mark.parametrize(
    "view",
    [
        lambda a: a[::2],
        lambda a: a[::-1],
        lambda a: a.reshape(2, -1).T,
    ],
)
def test_non_contiguous_views_are_refused_without_reading_outside_them(view):
    base = np.arange(1, 9, dtype=np.float32)
    with pytest.raises(BufferError, match="^buffer is not C-contiguous"):
        _velk.top_k_flat_np(np.ones(2, np.float32), view(base), 2, 4)


class Mutating:
    """An element whose __float__ runs the caller's code against the container being converted."""

    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __float__(self):
        action, self.action = self.action, None  # once only
        if action is not None:
            action()
        return self.value


def test_clearing_the_list_being_converted_ends_the_vector():
    values = [1.0, 2.0, 3.0]
    values.insert(1, Mutating(5.0, values.clear))
    # Items are walked as the list iterator would: the list is empty after item 1.
    assert _velk.cosine_similarity(values, [1.0, 5.0]) == _velk.cosine_similarity([1.0, 5.0], [1.0, 5.0])


def test_extending_the_list_being_converted_includes_the_new_items():
    values = [1.0]
    values.append(Mutating(0.0, lambda: values.extend([3.0, 4.0])))
    assert _velk.top_k_flat(values, [1.0, 0.0, 3.0, 4.0], 4, 1) == _velk.top_k_flat(
        [1.0, 0.0, 3.0, 4.0], [1.0, 0.0, 3.0, 4.0], 4, 1
    )


def test_dropping_the_item_being_converted_keeps_it_alive_for_the_conversion():
    values = [0.0, 0.0]
    values[0] = Mutating(2.0, lambda: values.__setitem__(0, None))
    assert _velk.cosine_similarity(values, [1.0, 0.0]) == 1.0


def test_clearing_the_rows_while_a_row_converts():
    rows = [[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]]
    rows[1] = [Mutating(0.0, rows.clear), 1.0]
    assert hit_bits(_velk.top_k([1.0, 0.0], rows, 5)) == ref_top_k([1.0, 0.0], [[1.0, 0.0], [0.0, 1.0]], 5)


def test_resizing_an_array_from_a_count_before_the_views_are_taken():
    # dim and k convert before the buffers are requested, so the views see the new size.
    embeddings = array.array("f", [1.0, 0.0])

    class Grows:
        def __index__(self):
            embeddings.extend([0.0, 1.0, 1.0, 1.0])
            return 3

    result = _velk.top_k_flat_np(array.array("f", [1.0, 0.0]), embeddings, 2, Grows())
    assert hit_bits(result) == ref_top_k_flat([1.0, 0.0], [1.0, 0.0, 0.0, 1.0, 1.0, 1.0], 2, 3)


def test_resizing_an_exported_bytearray_raises_the_callers_buffer_error():
    backing = bytearray(np.ones(4, np.float32).tobytes())
    view = memoryview(backing).cast("f")

    class Shrinks:
        def __index__(self):
            backing.clear()  # refused by Python while the memoryview exports it
            return 1

    with pytest.raises(BufferError, match="Existing exports"):
        _velk.top_k_flat_np(view, view, 2, Shrinks())
    assert hit_bits(_velk.top_k_flat_np(view, view, 2, 1)) == ref_top_k_flat([1.0] * 4, [1.0] * 4, 2, 1)


def test_views_are_released_after_every_outcome():
    query = array.array("f", [1.0, 0.0])
    for embeddings, dim in [
        (array.array("f", [1.0, 0.0]), 2),
        (array.array("d", [1.0]), 2),
        (array.array("f", [1.0, 0.0]), 0),
    ]:
        try:
            _velk.top_k_flat_np(query, embeddings, dim, 1)
        except BaseException:  # noqa: BLE001 - success, BufferError and the dim = 0 panic alike
            pass
        query.append(0.0)  # raises BufferError if an export were still held
        embeddings.append(0.0)
        del query[-1]


POOL_UNDER_PRESSURE = """
import json, resource, sys
import _velk
query = [1.0]
embeddings = [1.0] * 200_000
size = int(open("/proc/self/statm").read().split()[0]) * 4096
limit = size + {headroom} * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
outcomes = []
for k in (2, 2, 0):
    try:
        outcomes.append(["returned", _velk.top_k_flat(query, embeddings, 1, k)])
    except BaseException as error:
        outcomes.append([type(error).__name__, str(error)])
outcomes.append(["returned", _velk.top_k([1.0], [[1.0]], 1)])
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory cannot live under an address-space limit")
def test_a_worker_that_cannot_start_fails_the_call_and_later_calls_do_not_hang():
    # Under an address-space limit a worker's stack cannot be mapped: the call
    # must fail with the pool error, and later calls must fail the same way
    # instead of waiting for workers that will never come.
    prefix = "The global thread pool has not been initialized.: "
    failures = 0
    for headroom in (8, 10, 12, 16, 24):
        completed = run_python(
            POOL_UNDER_PRESSURE.format(headroom=headroom), env={"RAYON_NUM_THREADS": "8"}, timeout=60
        )
        assert completed.returncode == 0, completed.stderr
        outcomes = json.loads(completed.stdout)
        if outcomes[0][0] == "returned":
            assert outcomes[:2] == [["returned", [[0, 1.0], [1, 1.0]]]] * 2
        else:
            failures += 1
            assert outcomes[0][0] == "PanicException" and outcomes[0][1].startswith(prefix + "IOError: ")
            assert outcomes[1] == ["PanicException", prefix + "GlobalPoolAlreadyInitialized"]
        assert outcomes[2:] == [["returned", []], ["returned", [[0, 1.0]]]]
    if failures == 0:
        pytest.skip("no address-space limit stopped a worker thread from starting")
