"""velk.dask.search against one velk.search call over the whole array."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import velk  # noqa: E402 - only once dask is known to be there
import velk.dask  # noqa: E402

DIM = 16


def collection(rows: int, seed: int) -> np.ndarray:
    """Random rows plus the awkward ones: exact duplicates (tied scores far
    apart, so they land in different chunks), zero rows, a NaN row (scores 0.0)
    and an infinite row (scores NaN, which ranks first)."""
    rng = np.random.default_rng(seed)
    rows_ = rng.standard_normal((rows, DIM), dtype=np.float32)
    rows_[rows - 3] = rows_[2]
    rows_[rows // 2] = rows_[2]
    rows_[5] = 0.0
    rows_[rows - 1] = 0.0
    rows_[7, 3] = np.nan
    rows_[rows // 3, 0] = np.inf
    return rows_


def queries_for(whole: np.ndarray) -> np.ndarray:
    """The duplicated row (ties at the top), a zero query, a NaN query and random ones."""
    rng = np.random.default_rng(len(whole))
    q = rng.standard_normal((5, DIM), dtype=np.float32)
    q[0] = whole[2]
    q[1] = 0.0
    q[2] = np.nan
    return q


def assert_same(got, want):
    assert got.scores.shape == want.scores.shape
    np.testing.assert_array_equal(got.indices, want.indices)
    assert got.scores.tobytes() == want.scores.tobytes()


@pytest.mark.parametrize("chunks", [1000, 64, 97, 1, (400, 0, 1, 599)])
@pytest.mark.parametrize("k", [1, 3, 50, 999, 1000, 5000])
def test_matches_one_call_with_ties_nan_and_uneven_chunks(chunks, k):
    whole = collection(1000, seed=k)
    queries = queries_for(whole)
    got = velk.dask.search(queries, da.from_array(whole, chunks=(chunks, DIM)), k, scheduler="threads")
    assert_same(got, velk.search(queries, whole, k))


def test_a_single_query_gives_1d_results():
    whole = collection(300, seed=1)
    got = velk.dask.search(whole[9], da.from_array(whole, chunks=(70, DIM)), 10, scheduler="sync")
    assert got.scores.shape == got.indices.shape == (10,)
    assert_same(got, velk.search(whole[9], whole, 10))


def test_rows_split_across_column_chunks_are_rechunked():
    whole = collection(200, seed=2)
    got = velk.dask.search(whole[:3], da.from_array(whole, chunks=(50, 5)), 7, scheduler="sync")
    assert_same(got, velk.search(whole[:3], whole, 7))


def test_list_queries_are_narrowed_like_velk_search():
    whole = collection(120, seed=3)
    queries = [[0.1 * i + j for i in range(DIM)] for j in range(3)]
    got = velk.dask.search(queries, da.from_array(whole, chunks=(25, DIM)), 5, scheduler="sync")
    assert_same(got, velk.search(queries, whole, 5))


@pytest.mark.parametrize("k", [0, 3])
def test_no_rows_or_k_zero_give_empty(k):
    empty = da.zeros((0, DIM), dtype=np.float32, chunks=(10, DIM))
    result = velk.dask.search(np.ones((2, DIM), np.float32), empty, k)
    assert result.scores.shape == result.indices.shape == (2, 0)
    result = velk.dask.search(np.ones(DIM, np.float32), da.ones((30, DIM), dtype=np.float32, chunks=10), 0)
    assert result.scores.shape == (0,)


def test_errors_are_velk_searchs_own():
    rows = da.ones((10, DIM), dtype=np.float32, chunks=5)
    for k, error in ((-1, ValueError), (1.5, TypeError)):
        with pytest.raises(error) as chunked:
            velk.dask.search(np.ones(DIM, np.float32), rows, k)
        with pytest.raises(error) as direct:
            velk.search(np.ones(DIM, np.float32), np.ones((10, DIM), np.float32), k)
        assert str(chunked.value) == str(direct.value)
    with pytest.raises(ValueError, match="^queries have 3 columns but the embeddings have dim 16"):
        velk.dask.search(np.ones(3, np.float32), rows, 1)
    with pytest.raises(ValueError, match="^embeddings must have at least one column"):
        velk.dask.search(np.ones(0, np.float32), da.ones((10, 0), dtype=np.float32, chunks=5), 1)
    with pytest.raises(ValueError, match="2-D"):
        velk.dask.search(np.ones(DIM, np.float32), da.ones(DIM * 10, dtype=np.float32, chunks=DIM), 1)


def test_merge_orders_like_velk():
    nan = np.float32(np.nan)
    parts = [
        velk.SearchResult(np.array([[nan, 1.0, 0.0]], np.float32), np.array([[4, 0, 2]])),
        velk.SearchResult(np.array([[1.0, -0.0, -nan]], np.float32), np.array([[3, 1, 5]])),
    ]
    merged = velk.dask.merge(parts, 6)
    assert merged.indices.tolist() == [[4, 0, 3, 2, 1, 5]]


@pytest.fixture(scope="module")
def thread_cluster_client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=2, processes=False, dashboard_address="127.0.0.1:0"
    ) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.parametrize("k", [1, 10, 400])
def test_distributed_local_cluster(thread_cluster_client, k):
    whole = collection(4000, seed=k)
    queries = queries_for(whole)
    embeddings = da.from_array(whole, chunks=(333, DIM))
    got = velk.dask.search(queries, embeddings, k)  # the active client schedules it
    assert_same(got, velk.search(queries, whole, k))


def test_distributed_worker_processes():
    whole = collection(3000, seed=11)
    queries = queries_for(whole)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
    ) as cluster:
        with distributed.Client(cluster):
            got = velk.dask.search(queries, da.from_array(whole, chunks=(500, DIM)), 25)
    assert_same(got, velk.search(queries, whole, 25))


def candidates_for(kind: str, rows: int, nq: int):
    """Filters and candidate lists that cross chunk boundaries, miss whole chunks,
    keep the duplicated rows and the NaN and infinite rows, and pad with -1."""
    rng = np.random.default_rng([rows, nq, len(kind)])
    if kind == "shared where":
        mask = rng.random(rows) < 0.2
        mask[[2, rows - 3, 7, rows // 3]] = True
        return {"where": mask}
    if kind == "where per query":
        mask = rng.random((nq, rows)) < 0.05
        mask[0] = False
        return {"where": mask}
    if kind == "shared rows":
        return {"rows": np.concatenate([rng.integers(-1, rows, 30), [2, 2, rows - 3, -1]])}
    return {"rows": rng.integers(-1, rows, (nq, 6))}


@pytest.mark.parametrize("kind", ["shared where", "where per query", "shared rows", "rows per query"])
@pytest.mark.parametrize(("rows", "chunks", "k"), [(1000, 300, 10), (1000, 1000, 1000), (257, 16, 40), (64, 7, 3)])
def test_a_subset_equals_the_search_of_the_whole_array(kind, rows, chunks, k):
    whole = collection(rows, rows)
    queries = queries_for(whole)
    candidates = candidates_for(kind, rows, len(queries))
    got = velk.dask.search(queries, da.from_array(whole, chunks=(chunks, DIM)), k, scheduler="threads", **candidates)
    assert_same(got, velk.search(queries, whole, k, **candidates))


def test_dask_refuses_candidates_as_velk_search_does():
    embeddings = da.from_array(collection(100, 1), chunks=(30, DIM))
    queries = np.ones((2, DIM), np.float32)
    for candidates, error in (({"rows": [100]}, IndexError), ({"where": np.ones(99, bool)}, ValueError)):
        with pytest.raises(error) as raised:
            velk.dask.search(queries, embeddings, 3, scheduler="threads", **candidates)
        with pytest.raises(error) as direct:
            velk.search(queries, collection(100, 1), 3, **candidates)
        assert str(raised.value) == str(direct.value)
    with pytest.raises(TypeError, match="^give where or rows, not both"):
        velk.dask.search(queries, embeddings, 3, where=np.ones(100, bool), rows=[1])


WHOLE = np.random.default_rng(11).standard_normal((40, DIM), dtype=np.float32)


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda a: a.astype(np.float64), id="float64"),
        pytest.param(lambda a: a.astype(np.int32), id="int32"),
        pytest.param(lambda a: a > 0, id="bool"),
        pytest.param(lambda a: a.astype(np.complex64), id="complex"),
        pytest.param(lambda a: a.astype(object), id="object"),
        pytest.param(lambda a: a.astype("U4"), id="string"),
        pytest.param(lambda a: a.astype(">f4"), id="big-endian"),
        pytest.param(lambda a: a[:, 0], id="1-D"),
        pytest.param(lambda a: a[None], id="3-D"),
    ],
)
def test_refusals_come_before_any_compute_with_velk_searchs_messages(convert, monkeypatch):
    def no_compute(*args, **kwargs):
        raise AssertionError("computed before refusing")

    monkeypatch.setattr(velk.dask, "compute", no_compute)
    chunked = convert(da.from_array(WHOLE, chunks=(7, DIM)))
    with pytest.raises((TypeError, ValueError)) as refused:
        velk.dask.search(WHOLE[:2], chunked, 3)
    with pytest.raises(type(refused.value)) as direct:
        velk.search(WHOLE[:2], convert(WHOLE), 3)
    assert str(refused.value) == str(direct.value)


@pytest.mark.parametrize(
    ("embeddings", "error", "message"),
    [
        (
            WHOLE,
            TypeError,
            "embeddings must be a dask array, not ndarray; for a numpy array or any other buffer, "
            "call velk.search(queries, embeddings, k) instead",
        ),
        (WHOLE.tolist(), TypeError, "embeddings must be a dask array, not list"),
        (
            da.from_array(WHOLE, chunks=(7, DIM))[da.from_array(WHOLE[:, 0], chunks=7) > 0],
            ValueError,
            "the dask array's chunk sizes are unknown (shape (nan, 16)); call embeddings.compute_chunk_sizes() first",
        ),
    ],
)
def test_what_is_not_a_dask_array_of_known_size_is_refused(embeddings, error, message):
    with pytest.raises(error) as refused:
        velk.dask.search(WHOLE[:2], embeddings, 3)
    assert str(refused.value).startswith(message)


@pytest.mark.parametrize(("threads", "error"), [(0, ValueError), (-3, ValueError), (1.5, TypeError), ("2", TypeError)])
def test_threads_is_refused_as_velk_search_refuses_it(threads, error):
    with pytest.raises(error) as refused:
        velk.dask.search(WHOLE[:2], da.from_array(WHOLE, chunks=(7, DIM)), 3, threads=threads)
    with pytest.raises(error) as direct:
        velk.search(WHOLE[:2], WHOLE, 3, threads=threads)
    assert str(refused.value) == str(direct.value)


@pytest.mark.parametrize("threads", [1, 2, None])
def test_threads_caps_each_chunks_search(threads, monkeypatch):
    seen = []
    real = velk.dask.search_array

    def spy(queries, embeddings, k, **options):
        seen.append(options.get("threads"))
        return real(queries, embeddings, k, **options)

    monkeypatch.setattr(velk.dask, "search_array", spy)
    got = velk.dask.search(WHOLE[:3], da.from_array(WHOLE, chunks=(7, DIM)), 4, threads=threads, scheduler="sync")
    assert_same(got, velk.search(WHOLE[:3], WHOLE, 4))
    # One check of the whole call, then one search per chunk, every one capped.
    assert seen == [threads] * (1 + 6)


def test_an_abandoned_call_skips_the_chunks_not_started():
    call = velk.dask._Call()
    call.abandoned = True
    assert velk.dask.chunk_search(WHOLE[:2], WHOLE, 0, 3, call=call) is None
    assert velk.dask._merge_task([None], 3, velk.dask._Call()) is None
    # A copy sent to another process starts fresh, and two calls never share a task key.
    import pickle

    assert pickle.loads(pickle.dumps(call)).abandoned is False
    assert velk.dask._Call().number != velk.dask._Call().number
