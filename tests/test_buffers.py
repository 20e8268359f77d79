"""Buffer-protocol input of top_k_flat_np: which exports are read in place,
which are refused with which BufferError, and that every view is given back."""

import array
import ctypes

import numpy as np
import pytest

import _velk

from conftest import hit_bits

top_k_flat_np = _velk.top_k_flat_np

NOT_F32 = "buffer contents are not compatible with f32"
MISALIGNED = "buffer contents are insufficiently aligned for f32"
SHAPE_NULL = "shape is null"
STRIDES_NULL = "strides is null"
NOT_CONTIGUOUS = "not C-contiguous"

QUERY = [1.0, 0.5, -2.0]
ROWS = [[1.0, 0.0, 0.0], [0.5, 0.5, -1.0], [0.0, 0.0, 0.0], [-3.0, 1.0, 2.0]]
FLAT = [x for row in ROWS for x in row]
EXPECTED = _velk.top_k_flat(QUERY, FLAT, 3, 10)


def made_by_testbuffer(values, format_, **kwargs):
    module = pytest.importorskip("_testbuffer")
    return module.ndarray(values, shape=[len(values)], format=format_, **kwargs)


def misaligned(values):
    raw = bytearray(4 * len(values) + 1)
    view = np.frombuffer(raw, dtype=np.float32, offset=1, count=len(values))
    view[:] = values
    return view


def read_only(values):
    a = np.array(values, np.float32)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "make",
    [
        lambda v: np.array(v, np.float32),
        lambda v: np.array(v, "<f4"),
        lambda v: np.array(v, np.float32).reshape(-1, 1),
        lambda v: array.array("f", v),
        lambda v: memoryview(array.array("f", v).tobytes()).cast("f"),  # read-only
        read_only,
        lambda v: np.frombuffer(np.array(v, np.float32).tobytes(), np.float32),
        lambda v: made_by_testbuffer(v, "f"),
        lambda v: made_by_testbuffer(v, "@f"),
        lambda v: made_by_testbuffer(v, "=f"),
        lambda v: made_by_testbuffer(v, "<f"),
        lambda v: np.array(v * 2, np.float32)[: len(v)],  # a contiguous slice
        lambda v: np.array(v, np.float32).reshape(-1, 1).T,  # unit dimensions do not count
    ],
)
def test_accepted_exports(make):
    assert top_k_flat_np(make(QUERY), make(FLAT), 3, 10) == EXPECTED


def test_two_dimensional_embeddings_are_read_row_major():
    rows = np.array(ROWS, np.float32)
    assert top_k_flat_np(np.array(QUERY, np.float32), rows, 3, 10) == EXPECTED
    assert top_k_flat_np(np.array([QUERY], np.float32), rows.reshape(2, 2, 3), 3, 10) == EXPECTED


def test_same_array_as_query_and_embeddings():
    a = array.array("f", [1.0, 2.0, 2.0, 1.0])
    assert top_k_flat_np(a, a, 2, 2) == _velk.top_k_flat(list(a), list(a), 2, 2)
    a.append(3.0)  # both views were given back


@pytest.mark.parametrize(
    "query, embeddings",
    [
        (np.zeros(0, np.float32), np.ones(6, np.float32)),
        (np.ones(3, np.float32), np.zeros(0, np.float32)),
        (np.ones(3, np.float32), np.ones(6, np.float32)[::2][:0]),
    ],
)
def test_empty_arrays_are_accepted(query, embeddings):
    assert top_k_flat_np(query, embeddings, 3, 5) == []


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda v: np.array(v, np.float64), NOT_F32),
        (lambda v: np.array(v, np.float16), NOT_F32),
        (lambda v: np.array(v, ">f4"), NOT_F32),
        (lambda v: np.array(v, np.int32), NOT_F32),  # 4-byte items, wrong type
        (lambda v: np.array(np.abs(v), np.uint32), NOT_F32),
        (lambda v: array.array("d", v), NOT_F32),
        (lambda v: array.array("i", [int(x) for x in v]), NOT_F32),
        (lambda v: np.array(v, np.float32).tobytes(), NOT_F32),
        (lambda v: bytearray(np.array(v, np.float32).tobytes()), NOT_F32),
        # ctypes arrays leave strides out even when they are asked for.
        (lambda v: (ctypes.c_float * len(v))(*v), STRIDES_NULL),
        (lambda v: (ctypes.c_float.__ctype_be__ * len(v))(*v), STRIDES_NULL),  # before the format
        (lambda v: made_by_testbuffer(v, ">f"), NOT_F32),
        (lambda v: made_by_testbuffer(v, "!f"), NOT_F32),
        (lambda v: made_by_testbuffer([tuple(v[i : i + 3]) for i in range(0, len(v), 3)], "3f"), NOT_F32),
        (lambda v: made_by_testbuffer(v, "d"), NOT_F32),
        (misaligned, MISALIGNED),
        (lambda v: np.array(v[0], np.float32), SHAPE_NULL),
        (lambda v: np.float32(v[0]), SHAPE_NULL),
        (lambda v: np.array(v[0], np.float64), SHAPE_NULL),  # the shape check comes first
        (lambda v: misaligned(v).astype(np.float64), NOT_F32),
        (lambda v: misaligned(v * 2)[::2], MISALIGNED),  # alignment before contiguity
        (lambda v: np.array(v * 2, np.float64)[::2], NOT_F32),  # format before contiguity
        (lambda v: np.array(v * 2, np.float32)[::2], NOT_CONTIGUOUS),
        (lambda v: np.array(v, np.float32)[::-1], NOT_CONTIGUOUS),
        (lambda v: np.array(v * 2, np.float32).reshape(2, -1).T, NOT_CONTIGUOUS),
        (lambda v: np.asfortranarray(np.array(v * 2, np.float32).reshape(2, -1)), NOT_CONTIGUOUS),
        (lambda v: np.array(v * 2, np.float32).reshape(-1, 2)[:, :1], NOT_CONTIGUOUS),
        (lambda v: memoryview(array.array("f", v * 2))[::2], NOT_CONTIGUOUS),
    ],
)
@pytest.mark.parametrize("which", ["query", "embeddings"])
def test_refused_exports(make, message, which):
    if which == "query":
        query, embeddings = make(QUERY), np.array(FLAT, np.float32)
    else:
        query, embeddings = np.array(QUERY, np.float32), make(FLAT)
    with pytest.raises(BaseException) as info:
        top_k_flat_np(query, embeddings, 3, 10)
    assert type(info.value) is BufferError
    if message == NOT_CONTIGUOUS:
        assert NOT_CONTIGUOUS in str(info.value)
    else:
        assert str(info.value) == message


def test_indirect_exports_are_refused():
    module = pytest.importorskip("_testbuffer")
    pil = module.ndarray(FLAT, shape=[4, 3], format="f", flags=module.ND_PIL)
    with pytest.raises(BufferError, match=NOT_CONTIGUOUS):
        top_k_flat_np(np.array(QUERY, np.float32), pil, 3, 10)


def test_the_query_is_checked_first():
    with pytest.raises(BufferError, match=f"^{SHAPE_NULL}$"):
        top_k_flat_np(np.float32(1.0), np.ones(3, np.float64), 1, 1)
    with pytest.raises(TypeError, match="^a bytes-like object is required, not 'list'$"):
        top_k_flat_np([1.0], np.ones(3, np.float64), 1, 1)


def test_exporter_refusals_pass_unchanged():
    module = pytest.importorskip("_testbuffer")
    failing = module.ndarray(FLAT, shape=[12], format="f", flags=module.ND_GETBUF_FAIL)
    with pytest.raises(BufferError, match="^ND_GETBUF_FAIL: forced test exception$"):
        top_k_flat_np(np.ones(3, np.float32), failing, 3, 1)

    class Refuses:
        def __buffer__(self, flags):
            raise KeyError("no buffer today")

    with pytest.raises(KeyError):
        top_k_flat_np(Refuses(), np.ones(3, np.float32), 3, 1)


class CountingExporter:
    """Wraps an export and counts the views taken and given back."""

    def __init__(self, target):
        self.target, self.taken, self.released = target, 0, 0

    def __buffer__(self, flags):
        self.taken += 1
        return memoryview(self.target)

    def __release_buffer__(self, view):
        self.released += 1
        view.release()


FAILING_CALLS = {
    "query refused": (lambda q, e: top_k_flat_np(CountingExporter(np.ones(3, np.float64)), e, 3, 1), 0),
    "embeddings refused": (lambda q, e: top_k_flat_np(q, CountingExporter(np.ones(3, np.float64)), 3, 1), 1),
    "embeddings misaligned": (lambda q, e: top_k_flat_np(q, CountingExporter(misaligned(FLAT)), 3, 1), 1),
    "embeddings strided": (lambda q, e: top_k_flat_np(q, CountingExporter(np.ones(24, np.float32)[::2]), 3, 1), 1),
    "embeddings zero-d": (lambda q, e: top_k_flat_np(q, CountingExporter(np.array(1.0, np.float32)), 3, 1), 1),
    "embeddings without buffer": (lambda q, e: top_k_flat_np(q, object(), 3, 1), 1),
    "dim zero": (lambda q, e: top_k_flat_np(q, e, 0, 1), 2),
    "k not a count": (lambda q, e: top_k_flat_np(q, e, 3, "k"), 0),
    "success": (lambda q, e: top_k_flat_np(q, e, 3, 2), 2),
}


@pytest.mark.parametrize("case", FAILING_CALLS)
def test_every_view_is_given_back(case):
    call, views_of_ours = FAILING_CALLS[case]
    query = array.array("f", QUERY)
    embeddings = array.array("f", FLAT)
    counted_query, counted_embeddings = CountingExporter(query), CountingExporter(embeddings)
    try:
        call(counted_query, counted_embeddings)
    except BaseException:  # noqa: BLE001 - every outcome must give the views back
        pass
    # Resizing an array.array fails while any view of it is held.
    query.append(1.0)
    embeddings.append(1.0)
    taken = counted_query.taken + counted_embeddings.taken
    assert taken == views_of_ours
    assert counted_query.released == counted_query.taken
    assert counted_embeddings.released == counted_embeddings.taken


def test_refused_views_are_given_back_exactly_once():
    for target in [np.ones(3, np.float64), misaligned(FLAT), np.ones(24, np.float32)[::2], np.array(1.0, np.float32)]:
        exporter = CountingExporter(target)
        with pytest.raises(BufferError):
            top_k_flat_np(exporter, np.ones(3, np.float32), 3, 1)
        assert (exporter.taken, exporter.released) == (1, 1)


def test_array_query_can_be_resized_after_an_embeddings_failure():
    query = array.array("f", QUERY)
    with pytest.raises(BufferError):
        top_k_flat_np(query, np.ones(6, np.float64), 3, 1)
    query.extend([1.0, 2.0])
    assert len(query) == 5


def test_results_match_the_list_function_bit_for_bit():
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((257, 5)).astype(np.float32)
    query = rng.standard_normal(5).astype(np.float32)
    expected = hit_bits(_velk.top_k_flat(query.tolist(), rows.reshape(-1).tolist(), 5, 20))
    assert hit_bits(top_k_flat_np(query, rows, 5, 20)) == expected
    assert hit_bits(top_k_flat_np(query, rows.reshape(-1), 5, 20)) == expected
