"""Searches within a subset (where=, rows=): each query's result is bit for bit
the search of a copy of its candidate rows, with indices mapped back; and every
refusal says what was given and what is expected."""

import pathlib
import re

import numpy as np
import pytest

import velk

RNG = np.random.default_rng(20261208)
N, DIM = 3001, 37  # rows not a multiple of any block; enough for the pool
E = RNG.standard_normal((N, DIM), dtype=np.float32)
Q = RNG.standard_normal((41, DIM), dtype=np.float32)


def expected(queries, candidates, k, embeddings=E):
    """Each query searched over a copy of its candidates, mapped back and padded to min(k, n)."""
    width = min(k, len(embeddings))
    scores = np.full((len(queries), width), -np.inf, np.float32)
    indices = np.full((len(queries), width), -1, np.int64)
    for i, (query, rows) in enumerate(zip(queries, candidates, strict=True)):
        got = velk.search(query, np.ascontiguousarray(embeddings[rows]), k)
        found = got.indices >= 0
        scores[i, : found.sum()] = got.scores[found]
        indices[i, : found.sum()] = rows[got.indices[found]]
    return scores, indices


def assert_bits(result, want):
    scores, indices = want
    np.testing.assert_array_equal(result.indices, indices)
    np.testing.assert_array_equal(result.scores.view(np.uint32), scores.view(np.uint32))


# A single query reads the blocks of rows a filter keeps in runs (or all), and
# gathers the rows of a scattered one: both paths, partial blocks included.
FRACTIONS = {"empty": 0.0, "one row": None, "1%": 0.01, "50%": 0.5, "in runs": "runs", "all": 1.0}


def shared_filter(fraction, rng):
    if fraction == "runs":
        mask = np.zeros(N, bool)
        for start in rng.integers(N, size=6):
            mask[start : start + rng.integers(1, 400)] = True
        return mask
    if fraction is None:
        mask = np.zeros(N, bool)
        mask[rng.integers(N)] = True
        return mask
    return rng.random(N) < fraction


@pytest.mark.parametrize("fraction", list(FRACTIONS))
@pytest.mark.parametrize("nq", [1, 2, 41])
@pytest.mark.parametrize("k", [1, 10, N + 5])
@pytest.mark.parametrize("threads", [1, 2, None])
def test_a_shared_filter_equals_searching_the_copy(fraction, nq, k, threads):
    rng = np.random.default_rng([nq, k, hash(fraction) % 1000])
    mask = shared_filter(FRACTIONS[fraction], rng)
    rows = np.flatnonzero(mask)
    want = expected(Q[:nq], [rows] * nq, k)
    assert_bits(velk.search(Q[:nq], E, k, where=mask, threads=threads), want)
    # The same candidates as a list, shuffled, padded and repeated.
    listed = np.concatenate([rows, rows[: len(rows) // 3], [-1, -1]])
    rng.shuffle(listed)
    assert_bits(velk.search(Q[:nq], E, k, rows=listed, threads=threads), want)


# Mixed filters keep many rows (every row is scored in packed blocks for all
# queries, each offered its own); sparse ones few (each query searches its own rows).
DENSITIES = {"mixed": [0.0, None, 0.01, 0.5, 1.0], "sparse": [0.0, None, 0.01, 0.02, 0.001]}


@pytest.mark.parametrize("density", list(DENSITIES))
@pytest.mark.parametrize("nq", [1, 3, 41])
@pytest.mark.parametrize("k", [1, 7, N])
@pytest.mark.parametrize("threads", [1, 2, None])
def test_per_query_filters_that_differ(density, nq, k, threads):
    rng = np.random.default_rng([nq, k, len(density)])
    # Empty, one row, sparse, dense and full filters side by side.
    fractions = DENSITIES[density]
    mask = np.stack([shared_filter(fractions[i % 5], rng) for i in range(nq)])
    if density == "mixed":
        mask[:, 1000:1700] = False  # blocks that no query keeps a row of
    candidates = [np.flatnonzero(m) for m in mask]
    want = expected(Q[:nq], candidates, k)
    assert_bits(velk.search(Q[:nq], E, k, where=mask, threads=threads), want)
    # Per-query lists of differing lengths, padded with -1 to one width.
    width = max(len(c) for c in candidates) + 3
    lists = np.full((nq, width), -1, np.int64)
    for i, c in enumerate(candidates):
        lists[i, : len(c)] = rng.permutation(c)
        lists[i, len(c) : len(c) + 2] = c[:2] if len(c) else -1  # repeats
    assert_bits(velk.search(Q[:nq], E, k, rows=lists, threads=threads), want)


def test_a_single_1d_query_and_its_filter_have_1d_results():
    mask = E[:, 0] > 1.0
    got = velk.search(Q[0], E, 5, where=mask)
    assert got.indices.shape == (5,)
    assert_bits(velk.search(Q[:1], E, 5, where=mask[None]), tuple(a[None] for a in (got.scores, got.indices)))


@pytest.mark.parametrize("dtype", [np.int8, np.int32, np.int64, np.uint16, np.uint64])
def test_row_numbers_of_any_integer_type(dtype):
    rows = np.array([5, 0, 5, 99, 100], dtype=dtype)
    assert_bits(velk.search(Q[:3], E, 4, rows=rows), expected(Q[:3], [np.array([0, 5, 99, 100])] * 3, 4))


def test_ties_straddling_the_boundary_rank_by_row_number_within_the_subset():
    # Rows 0..9 are the same vector; rows 10.. another one. The subset keeps
    # some of the tied rows: the kept ones come out by ascending row number,
    # and the excluded ones (better or equal) never appear.
    embeddings = np.tile(np.float32([1, 2, 3, 4]), (40, 1))
    embeddings[10:] = np.float32([4, 3, 2, 1])
    query = np.float32([1, 2, 3, 4])
    mask = np.zeros(40, bool)
    mask[[1, 4, 9, 10, 11, 39]] = True
    got = velk.search(query, embeddings, 5, where=mask)
    assert got.indices.tolist() == [1, 4, 9, 10, 11]
    assert got.scores[0] == got.scores[1] == got.scores[2] > got.scores[3] == got.scores[4]
    got = velk.search(np.stack([query] * 3), embeddings, 4, rows=[39, 11, 9, -1, 4, 9])
    assert got.indices.tolist() == [[4, 9, 11, 39]] * 3


def test_nan_rows_inside_and_outside_the_subset():
    embeddings = E[:500].copy()
    embeddings[[3, 7, 100, 250]] = np.nan
    embeddings[[5, 6], 2] = np.nan
    mask = np.zeros(500, bool)
    mask[[3, 5, 8, 9, 10, 120, 499]] = True  # NaN rows 3 and 5 in, 6, 7, 100, 250 out
    for queries in (Q[:1], Q[:9], -Q[:9]):
        want = expected(queries, [np.flatnonzero(mask)] * len(queries), 6, embeddings)
        assert_bits(velk.search(queries, embeddings, 6, where=mask), want)
        assert_bits(velk.search(queries, embeddings, 6, rows=np.flatnonzero(mask)[::-1]), want)
        assert not np.isin(velk.search(queries, embeddings, 6, where=mask).indices, [6, 7, 100, 250]).any()


def test_zero_queries_find_nothing_and_no_filter_is_todays_result():
    queries = Q[:4].copy()
    queries[1] = 0.0
    got = velk.search(queries, E, 3, where=np.ones(N, bool))
    assert got.indices[1].tolist() == [-1] * 3 and np.isneginf(got.scores[1]).all()
    assert_bits(got, velk.search(queries, E, 3))
    assert_bits(velk.search(queries, E, 3, rows=np.arange(N)), velk.search(queries, E, 3))


def test_a_bool_buffer_is_read_in_place():
    flags = bytearray(N)
    flags[17] = flags[2000] = 1
    where = memoryview(flags).cast("?")
    assert (
        velk.search(Q[0], E, 3, where=where).indices.tolist()
        == expected(Q[:1], [np.array([17, 2000])], 3)[1][0].tolist()
    )


def test_many_queries_and_rows_for_several_blocks_and_tiles():
    rng = np.random.default_rng(5)
    embeddings = rng.standard_normal((40_000, 16), dtype=np.float32)
    queries = rng.standard_normal((70, 16), dtype=np.float32)
    mask = rng.random(40_000) < 0.3
    mask[:5000] = False  # whole blocks without a candidate
    want = expected(queries, [np.flatnonzero(mask)] * 70, 12, embeddings)
    for threads in (1, 2):
        assert_bits(velk.search(queries, embeddings, 12, where=mask, threads=threads), want)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        (
            {"where": np.ones(N, np.float32)},
            TypeError,
            "where must be a bool array (True marks a candidate row), not float32; for row numbers use rows=, "
            "and turn a 0/1 mask into a filter with where != 0",
        ),
        (
            {"where": np.ones(N - 1, bool)},
            ValueError,
            f"where has shape ({N - 1},), but 3 queries over {N} rows take shape ({N},) for one filter or "
            f"(3, {N}) for one per query",
        ),
        (
            {"where": np.ones((2, N), bool)},
            ValueError,
            f"where has shape (2, {N}), but 3 queries over {N} rows take shape ({N},) for one filter or "
            f"(3, {N}) for one per query",
        ),
        (
            {"where": np.ones((3, 2 * N), bool)[:, ::2]},
            ValueError,
            "where must be C-contiguous, not a view with strides "
            f"({2 * N}, 2); copy it once with numpy.ascontiguousarray(where)",
        ),
        (
            {"rows": np.array([1.0, 2.0])},
            TypeError,
            "rows must hold integer row numbers, not float64; for a bool filter use where=, and convert whole "
            "numbers with rows.astype(numpy.int64)",
        ),
        (
            {"rows": np.ones(N, bool)},
            TypeError,
            "rows must hold integer row numbers, not bool; for a bool filter use where=, and convert whole "
            "numbers with rows.astype(numpy.int64)",
        ),
        (
            {"rows": np.zeros((2, 4), np.int64)},
            ValueError,
            "rows has shape (2, 4), but 3 queries take shape (c,) for one candidate list or (3, c) for one per query",
        ),
        (
            {"rows": [0, -1, N, N + 1]},
            IndexError,
            f"rows[2] is {N}, not a row number: the embeddings have n = {N} rows, numbered 0 to {N - 1} "
            "(-1 marks padding)",
        ),
        (
            {"rows": [[0, 1], [2, -2], [N, 0]]},
            IndexError,
            f"rows[1, 1] is -2, not a row number: the embeddings have n = {N} rows, numbered 0 to {N - 1} "
            "(-1 marks padding)",
        ),
        (
            {"rows": np.array([2**64 - 1], np.uint64)},
            IndexError,
            f"rows[0] is {2**64 - 1}, not a row number: the embeddings have n = {N} rows, numbered 0 to {N - 1} "
            "(-1 marks padding)",
        ),
        (
            {"where": np.ones(N, bool), "rows": [0]},
            TypeError,
            "give where or rows, not both: where marks the candidate rows with True, rows lists their numbers",
        ),
    ],
)
def test_refusals_say_what_was_given_and_what_is_expected(kwargs, error, message):
    with pytest.raises(BaseException) as raised:
        velk.search(Q[:3], E, 2, **kwargs)
    assert type(raised.value) is error and str(raised.value) == message


def test_the_embeddings_are_refused_before_the_candidates():
    with pytest.raises(TypeError, match="^embeddings must hold float32, float16, bfloat16, int8 or uint8"):
        velk.search(Q[:3], E.astype(np.float64), 2, rows=[N + 10])
    with pytest.raises(TypeError, match="^embeddings must be a 2-D float32 array"):
        velk.search(Q[:3], E.tolist(), 2, where=np.ones(N, bool))
    with pytest.raises(ValueError, match="^threads must be None or 1 or more, not 0"):
        velk.search(Q[:3], E, 2, rows=[N + 10], threads=0)


class _CountingNative:
    def __init__(self, native):
        self.native, self.calls = native, 0

    def search(self, *args):
        self.calls += 1
        return self.native.search(*args)


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"where": np.ones(N, bool)}, None),
        ({"rows": [[0, 5], [1, -1], [2, 2]]}, None),
        # Refused: the embeddings are checked first, by a search for k = 0.
        ({"rows": [N]}, IndexError),
        ({"where": np.ones(N + 1, bool)}, ValueError),
    ],
)
def test_a_filtered_call_crosses_into_the_native_search_once(monkeypatch, kwargs, error):
    counting = _CountingNative(velk._native)
    monkeypatch.setattr(velk, "_native", counting)
    if error is None:
        velk.search(Q[:3], E, 2, **kwargs)
    else:
        with pytest.raises(error):
            velk.search(Q[:3], E, 2, **kwargs)
    assert counting.calls == 1


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((np.ones((1, N), np.uint8), None, None), "where must be a C-contiguous bool array of shape (1, n) or (nq, n)"),
        ((np.ones((2, N), bool), None, None), "where must be a C-contiguous bool array of shape (1, n) or (nq, n)"),
        (
            (None, np.array([0, 1]), np.array([0, 2], np.int32)),
            "rows and offsets must be C-contiguous 1-D int64 arrays",
        ),
        ((None, np.array([0, 1]), np.array([0, 3])), "offsets must span rows"),
        ((None, np.array([1, 1]), np.array([0, 2])), "each list of rows must ascend strictly within 0 .. n - 1"),
        ((None, np.array([0, N]), np.array([0, 2])), "each list of rows must ascend strictly within 0 .. n - 1"),
        ((None, np.array([0, 1]), np.array([0, 2, 1, 2])), "offsets must not decrease"),
        ((None, np.array([0]), np.array([0, 1, 1])), "offsets must have 2 or nq + 1 entries"),
        ((np.ones((1, N), bool), np.array([0]), np.array([0, 1])), "where and rows cannot both be given"),
    ],
)
def test_the_native_entry_checks_the_candidates_it_reads(args, message):
    with pytest.raises(ValueError) as raised:
        velk._native.search(Q[:3], E, 2, None, *args, None)
    assert str(raised.value) == message


README = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
SMALL = np.ones((1000, 4), np.float32)
TWO = np.ones((2, 4), np.float32)


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: velk.search(TWO, SMALL, 3, where=np.ones(1000)), TypeError),
        (lambda: velk.search(TWO, SMALL, 3, where=np.ones(999, bool)), ValueError),
        (lambda: velk.search(TWO, SMALL, 3, where=np.ones((2, 2000), bool)[:, ::2]), ValueError),
        (lambda: velk.search(TWO, SMALL, 3, rows=np.ones(5)), TypeError),
        (lambda: velk.search(TWO, SMALL, 3, rows=np.ones((3, 5), int)), ValueError),
        (lambda: velk.search(TWO, SMALL, 3, rows=[[0, 1, 2, 3, 4], [0, 1, 2, 3, 1000]]), IndexError),
        (lambda: velk.search(TWO, SMALL, 3, where=np.ones(1000, bool), rows=[1]), TypeError),
    ],
)
def test_the_readme_quotes_the_refusals(call, error):
    with pytest.raises(error) as raised:
        call()
    quoted = re.findall(rf"`{error.__name__}: (.+?)`", README)
    assert any(str(raised.value).startswith(q.removesuffix("...").rstrip(", ")) for q in quoted), str(raised.value)
