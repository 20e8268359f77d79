"""The dask example (examples/dask_search.py) against one call over the whole array."""

import math
import pathlib
import sys

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import _velk

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from dask_search import dask_top_k, merge_hits  # noqa: E402

DIM = 16


def collection(rows: int, seed: int) -> np.ndarray:
    """Random rows plus the awkward ones: exact duplicates (tied scores far
    apart, so they land in different chunks), zero rows, a NaN row (scores 0.0
    on the flat path) and an infinite row (scores NaN, which ranks first)."""
    rng = np.random.default_rng(seed)
    rows_ = rng.standard_normal((rows, DIM), dtype=np.float32)
    rows_[rows - 3] = rows_[2]
    rows_[rows // 2] = rows_[2]
    rows_[5] = 0.0
    rows_[rows - 1] = 0.0
    rows_[7, 3] = np.nan
    rows_[rows // 3, 0] = np.inf
    return rows_


def same_hits(got, want):
    assert [i for i, _ in got] == [i for i, _ in want]
    for (_, a), (_, b) in zip(got, want):
        assert a == b or (math.isnan(a) and math.isnan(b) and math.copysign(1, a) == math.copysign(1, b))


@pytest.mark.parametrize("chunks", [1000, 64, 97, 1, (400, 1, 599)])
@pytest.mark.parametrize("k", [1, 3, 50, 999, 1000, 5000])
def test_matches_one_call_with_ties_nan_and_uneven_chunks(chunks, k):
    whole = collection(1000, seed=k)
    query = whole[2].copy()  # ties with its duplicates at the top
    got = dask_top_k(query, da.from_array(whole, chunks=(chunks, DIM)), k, scheduler="threads")
    same_hits(got, _velk.top_k_flat_np(query, whole, DIM, k))


@pytest.mark.parametrize(
    "query",
    [
        pytest.param(np.zeros(DIM, np.float32), id="zero-query"),
        pytest.param(np.zeros(0, np.float32), id="empty-query"),
        pytest.param(np.arange(1, 5, dtype=np.float32), id="shorter-than-dim"),
        pytest.param(np.arange(1, 2 * DIM + 1, dtype=np.float32), id="longer-than-dim"),
        pytest.param(np.full(DIM, np.nan, np.float32), id="nan-query"),
    ],
)
def test_degenerate_and_mismatched_queries_match_one_call(query):
    whole = collection(300, seed=1)
    got = dask_top_k(query, da.from_array(whole, chunks=(70, DIM)), 10, scheduler="sync")
    same_hits(got, _velk.top_k_flat_np(query, whole, DIM, 10))


def test_rows_split_across_column_chunks_are_rechunked():
    whole = collection(200, seed=2)
    got = dask_top_k(whole[9], da.from_array(whole, chunks=(50, 5)), 7, scheduler="sync")
    same_hits(got, _velk.top_k_flat_np(whole[9], whole, DIM, 7))


def test_list_query_is_narrowed_like_top_k_flat():
    whole = collection(120, seed=3)
    query = [0.1 * i for i in range(DIM)]
    got = dask_top_k(query, da.from_array(whole, chunks=(25, DIM)), 5, scheduler="sync")
    same_hits(got, _velk.top_k_flat(query, whole.ravel().tolist(), DIM, 5))


@pytest.mark.parametrize("k", [0, 3])
def test_no_rows_or_k_zero_give_empty(k):
    empty = da.zeros((0, DIM), dtype=np.float32, chunks=(10, DIM))
    assert dask_top_k(np.ones(DIM, np.float32), empty, k) == []
    assert dask_top_k(np.ones(DIM, np.float32), da.ones((30, DIM), np.float32, chunks=10), 0) == []


def test_errors_are_the_modules_own():
    rows = da.ones((10, DIM), dtype=np.float32, chunks=5)
    with pytest.raises(OverflowError) as negative:
        dask_top_k(np.ones(DIM, np.float32), rows, -1)
    with pytest.raises(OverflowError) as direct:
        _velk.top_k_flat_np(np.ones(DIM, np.float32), np.ones((10, DIM), np.float32), DIM, -1)
    assert str(negative.value) == str(direct.value)
    with pytest.raises(BaseException, match="^attempt to divide by zero$") as panic:
        dask_top_k(np.ones(3, np.float32), da.ones((10, 0), dtype=np.float32, chunks=5), 1)
    assert type(panic.value).__name__ == "PanicException"
    with pytest.raises(ValueError, match="2-D"):
        dask_top_k(np.ones(DIM, np.float32), da.ones(DIM * 10, dtype=np.float32, chunks=DIM), 1)


def test_merge_orders_like_the_module():
    nan = float("nan")
    parts = [[(4, nan), (0, 1.0), (2, 0.0)], [(3, 1.0), (1, -0.0), (5, -nan)]]
    got = merge_hits(parts, 6)
    assert [i for i, _ in got] == [4, 0, 3, 2, 1, 5]


@pytest.fixture(scope="module")
def thread_cluster_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=False, dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.parametrize("k", [1, 10, 400])
def test_distributed_local_cluster(thread_cluster_client, k):
    whole = collection(4000, seed=k)
    query = whole[2].copy()
    embeddings = da.from_array(whole, chunks=(333, DIM))
    got = dask_top_k(query, embeddings, k)  # the active client schedules it
    same_hits(got, _velk.top_k_flat_np(query, whole, DIM, k))


def test_distributed_worker_processes():
    whole = collection(3000, seed=11)
    query = whole[2].copy()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster):
            got = dask_top_k(query, da.from_array(whole, chunks=(500, DIM)), 25)
    same_hits(got, _velk.top_k_flat_np(query, whole, DIM, 25))
