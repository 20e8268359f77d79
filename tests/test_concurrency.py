"""Many Python threads, forkserver children and a second interpreter.

The module holds the interpreter lock for the whole of a call, but conversions
run the caller's Python code, during which the interpreter switches threads;
those switches must not mix up calls. Results are compared bit for bit with the
results of the same calls made one after another on one thread. VELK_THREADS
and VELK_THREAD_ROUNDS scale the thread test."""

import json
import os
import struct
import sys
import threading
import time

import numpy as np
import pytest

import _velk

from conftest import PanicException, run_python

THREADS = int(os.environ.get("VELK_THREADS", "6"))
ROUNDS = int(os.environ.get("VELK_THREAD_ROUNDS", "3"))


class Yielding:
    """An element whose conversion gives the interpreter lock away for a moment."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def canonical(result):
    """A result as exact bits, so NaNs and signed zeros compare too."""
    if isinstance(result, float):
        return struct.pack("<d", result)
    return [(index, struct.pack("<d", score)) for index, score in result]


def make_tasks():
    rng = np.random.default_rng(11)
    tasks = []
    for case in range(6):
        dim = 3 + case * 5
        rows = rng.standard_normal((400 + case * 300, dim)).astype(np.float32)
        rows[case, 0] = np.nan if case % 2 else np.inf
        query = rng.standard_normal(dim).astype(np.float32)
        flat = rows.ravel().tolist()
        nested = rows.tolist()
        slow_query = [Yielding(float(x)) for x in query]
        tasks += [
            ("cosine", _velk.cosine_similarity, (slow_query, nested[case])),
            ("cosine", _velk.cosine_similarity, (query.tolist(), nested[-1])),
            ("top_k", _velk.top_k, (slow_query, nested[:200], 7)),
            ("top_k_flat", _velk.top_k_flat, (slow_query, flat, dim, 9)),
            ("top_k_flat", _velk.top_k_flat, (query.tolist(), flat, dim, len(rows))),
            ("top_k_flat_np", _velk.top_k_flat_np, (query, rows, dim, 5)),
        ]
    # Enough rows for the scoring to run on the worker pool.
    big = rng.standard_normal((60_000, 4)).astype(np.float32)
    tasks.append(("top_k_flat_np", _velk.top_k_flat_np, (big[0], big, 4, 50)))
    tasks.append(("top_k_flat", _velk.top_k_flat, (big[1].tolist(), big[:20_000].ravel().tolist(), 4, 3)))
    tasks.append(("panic", _velk.top_k_flat, ([1.0], [1.0], 0, 1)))
    tasks.append(("panic", _velk.top_k_flat_np, (big[0], big, 0, 1)))
    tasks.append(("error", _velk.top_k, ([Yielding(1.0), "x"], [[1.0]], 1)))
    return tasks


def outcome(function, args):
    try:
        return canonical(function(*args))
    except BaseException as error:  # noqa: BLE001 - PanicException too
        return (type(error).__name__, str(error))


def python_work(seed):
    # Ordinary interpreter work between calls: allocation, sorting, hashing, a GC pass now and then.
    data = {str(i): [i * seed % 97] * 5 for i in range(200)}
    ordered = sorted(data.items(), key=lambda item: (item[1][0], item[0]))
    if seed % 5 == 0:
        import gc

        gc.collect()
    return len(ordered)


def test_threads_calling_everything_at_once_get_single_thread_results():
    tasks = make_tasks()
    expected = [outcome(function, args) for _, function, args in tasks]
    assert sum(1 for e in expected if isinstance(e, tuple) and e[0] == "PanicException") == 2

    mismatches = []
    start = threading.Barrier(THREADS)

    def worker(offset):
        start.wait()
        for round_ in range(ROUNDS):
            for step in range(len(tasks)):
                index = (step * (offset + 1) + offset + round_) % len(tasks)
                _, function, args = tasks[index]
                got = outcome(function, args)
                if got != expected[index]:
                    mismatches.append((offset, index, got))
                python_work(offset + step)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(offset,)) for offset in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
        assert not any(thread.is_alive() for thread in threads), "a thread is stuck"
    finally:
        sys.setswitchinterval(previous)
    assert mismatches == []


def test_calls_keep_working_after_panics_on_every_path():
    rows = np.eye(4, dtype=np.float32)
    for _ in range(20):
        with pytest.raises(PanicException, match="^attempt to divide by zero$"):
            _velk.top_k_flat_np(rows[0], rows, 0, 1)
        with pytest.raises(PanicException, match="^attempt to divide by zero$"):
            _velk.top_k_flat([], [], 0, 0)
        assert _velk.top_k_flat_np(rows[1], rows, 4, 1) == [(1, 1.0)]
        assert _velk.top_k([1.0, 0.0], [[0.0, 1.0], [1.0, 0.0]], 1) == [(1, 1.0)]
        assert _velk.cosine_similarity([1.0, 1.0], [1.0, 1.0]) == 1.0000001192092896


FORKSERVER = """
import json, multiprocessing
import pool_warmup
context = multiprocessing.get_context("forkserver")
context.set_forkserver_preload(["pool_warmup"])
seeds = [1, 2, 3, 4]
with context.Pool(2) as pool:
    results = pool.map_async(pool_warmup.scores, seeds).get(timeout=100)
print(json.dumps([[list(map(list, a)), list(map(list, b)), warmed, list(map(list, pool_warmup.scores(seed)[0]))]
                  for seed, (a, b, warmed) in zip(seeds, results)]))
"""


def test_forkserver_children_of_a_pooled_server_score_correctly():
    # The parent has a pool too (pool_warmup made it), which the server, a fresh
    # interpreter, does not inherit; it makes its own at preload.
    tests = os.path.dirname(os.path.abspath(__file__))
    completed = run_python(FORKSERVER, env={"PYTHONPATH": tests}, timeout=150)
    assert completed.returncode == 0, completed.stderr
    for from_buffers, from_lists, forked_from_pooled_server, in_parent in json.loads(completed.stdout):
        assert forked_from_pooled_server
        assert from_buffers == in_parent and from_lists == in_parent and len(in_parent) == 5


SUBINTERPRETER_CODE = "import _velk"


@pytest.mark.parametrize("isolated", [False, True])
def test_a_second_interpreter_is_refused_and_the_first_keeps_working(isolated):
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    before = _velk.top_k_flat_np(np.eye(3, dtype=np.float32)[0], np.eye(3, dtype=np.float32), 3, 2)
    interpreter = subinterpreters.create(isolated=isolated)
    try:
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError.*subinterpreters"):
            subinterpreters.run_string(interpreter, SUBINTERPRETER_CODE)
        # A second attempt is refused the same way.
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError"):
            subinterpreters.run_string(interpreter, SUBINTERPRETER_CODE)
    finally:
        subinterpreters.destroy(interpreter)
    assert _velk.top_k_flat_np(np.eye(3, dtype=np.float32)[0], np.eye(3, dtype=np.float32), 3, 2) == before
    assert _velk.cosine_similarity([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]) == 0.9746317863464355
