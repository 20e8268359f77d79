"""The worker pool behind top_k_flat: when it starts, how many workers it has,
and how it behaves across forks and odd floating-point settings.

Every case runs in a fresh interpreter, because the pool is created once per
process and its size is read from the environment at that moment only.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 60
PROCESSORS = os.sysconf("SC_NPROCESSORS_ONLN")

# Shared by every child script. The scoring input is large enough that the rows
# are handed to the workers instead of being scored on the calling thread.
PRELUDE = """
import json, os, sys, time
import _velk

DIM = 16
ROWS = 40_000
QUERY = [float((i * 7) % 5 - 2) for i in range(DIM)]
EMBEDDINGS = [float((i * 13) % 29 - 14) / 7.0 for i in range(ROWS * DIM)]

def threads():
    return len(os.listdir("/proc/self/task"))

def score(k=10):
    return _velk.top_k_flat(QUERY, EMBEDDINGS, DIM, k)

def settled_threads(expected, timeout=20.0):
    # TBB starts its workers asynchronously once work arrives.
    deadline = time.monotonic() + timeout
    while threads() < expected and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)
    return threads()

def report(value):
    print(json.dumps(value), flush=True)
"""


def run_child(body, env=None, timeout=TIMEOUT):
    environment = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    environment.update(env or {})
    script = PRELUDE + textwrap.dedent(body)
    completed = subprocess.run(
        [sys.executable, "-c", script], env=environment, capture_output=True, text=True, timeout=timeout
    )
    assert completed.returncode == 0, completed.stderr
    return [json.loads(line) for line in completed.stdout.splitlines()]


def test_pool_starts_at_the_first_call_that_scores_a_row():
    (before, after_idle_calls, after_scoring, after_more_calls) = run_child(
        """
        before = threads()
        _velk.cosine_similarity([1.0, 2.0], [3.0, 4.0])
        _velk.top_k([1.0, 2.0], [[3.0, 4.0]] * 5000, 3)
        assert _velk.top_k_flat(QUERY, EMBEDDINGS, DIM, 0) == []
        assert _velk.top_k_flat([], EMBEDDINGS, DIM, 5) == []
        assert _velk.top_k_flat([0.0] * DIM, EMBEDDINGS, DIM, 5) == []
        assert _velk.top_k_flat(QUERY, EMBEDDINGS[:DIM - 1], DIM, 5) == []
        try:
            _velk.top_k_flat(QUERY, EMBEDDINGS, 0, 5)
        except BaseException as error:
            assert type(error).__name__ == "PanicException", error
        idle = threads()
        # Read now, when the pool starts, not at import or at the calls above.
        os.environ["RAYON_NUM_THREADS"] = "3"
        score()
        scoring = settled_threads(1 + 3)
        for _ in range(5):
            score()
        report(before); report(idle); report(scoring); report(settled_threads(1 + 3))
        """,
        env={"RAYON_NUM_THREADS": "5"},
    )
    assert before == after_idle_calls == 1
    assert after_scoring == after_more_calls == 1 + 3


@pytest.mark.parametrize(
    ("env", "workers"),
    [
        ({"RAYON_NUM_THREADS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "+6"}, 6),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, PROCESSORS),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_RS_NUM_CPUS": "0"}, PROCESSORS),
        ({"RAYON_RS_NUM_CPUS": "x"}, PROCESSORS),
        ({}, PROCESSORS),
    ],
)
def test_worker_count_follows_the_environment(env, workers):
    (count,) = run_child(f"score(); report(settled_threads(1 + {workers}))", env=env)
    assert count == 1 + workers


def test_worker_count_is_read_once():
    (count,) = run_child(
        """
        score()
        os.environ["RAYON_NUM_THREADS"] = "5"
        score()
        report(settled_threads(1 + 5, timeout=2.0))
        """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert count == 1 + 2


def test_a_pool_that_fails_to_start_is_not_retried():
    # 65535 workers need tens of MiB of arena slots before any thread starts; an
    # address-space limit just above the interpreter's current size refuses them.
    outcomes = run_child(
        """
        import resource
        size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 16 * 2**20, resource.RLIM_INFINITY))
        for call in (lambda: score(), lambda: score(), lambda: _velk.top_k_flat(QUERY, EMBEDDINGS, DIM, 0)):
            try:
                report(["returned", call()])
            except BaseException as error:
                report([type(error).__name__, str(error)])
        """,
        env={"RAYON_NUM_THREADS": "65535"},
    )
    if outcomes[0][0] == "returned":
        pytest.skip("the address-space limit did not stop the pool from starting")
    prefix = "The global thread pool has not been initialized.: "
    assert outcomes == [
        ["PanicException", prefix + "IOError: Cannot allocate memory (os error 12)"],
        ["PanicException", prefix + "GlobalPoolAlreadyInitialized"],
        ["returned", []],
    ]


RESULTS = """
import random
rng = random.Random(2024)
dim = 24
rows = 30_000
query = [rng.uniform(-1, 1) for _ in range(dim)]
embeddings = [rng.uniform(-1, 1) for _ in range(rows * dim + 5)]
nested = [embeddings[i * dim:(i + 1) * dim] for i in range(rows)]
for k in (1, 7, rows):
    flat = _velk.top_k_flat(query, embeddings, dim, k)
    report([[(i, s.hex()) for i, s in flat], flat == _velk.top_k(query, nested, k)])
"""


def test_results_do_not_depend_on_the_worker_count():
    single = run_child(RESULTS, env={"RAYON_NUM_THREADS": "1"})
    assert run_child(RESULTS, env={"RAYON_NUM_THREADS": "8"}) == single
    assert run_child(RESULTS) == single
    assert [len(result) for result, _ in single] == [1, 7, 30_000]
    # Rows scored on the workers get the same bits as the nested form scores
    # one by one on the calling thread; random scores have no ties to reorder.
    assert all(same_as_nested for _, same_as_nested in single)


def test_forked_multiprocessing_children_score_without_the_parents_workers():
    (matches,) = run_child(
        """
        import multiprocessing

        def child_scores(k):
            return threads(), score(k)

        expected = {k: score(k) for k in (1, 10, ROWS)}
        with multiprocessing.get_context("fork").Pool(2) as pool:
            outcomes = pool.map(child_scores, [1, 10, ROWS, 10])
        report([n == 1 and result == expected[k] for (n, result), k in zip(outcomes, [1, 10, ROWS, 10])])
        """,
        env={"RAYON_NUM_THREADS": "4"},
    )
    assert matches == [True] * 4


@pytest.mark.parametrize("exit_call", ["os._exit(0 if ok else 3)", "sys.exit(0 if ok else 3)"])
@pytest.mark.parametrize("scores_in_child", [True, False])
def test_forked_child_exits_cleanly(exit_call, scores_in_child):
    (status,) = run_child(
        f"""
        expected = score()
        pid = os.fork()
        if pid == 0:
            ok = {not scores_in_child} or score() == expected
            {exit_call}
        _, status = os.waitpid(pid, 0)
        report(os.waitstatus_to_exitcode(status))
        """,
        env={"RAYON_NUM_THREADS": "3"},
    )
    assert status == 0


# Stands for a library built with fast-math: it switches flush-to-zero and
# denormals-are-zero on for the thread that loads it, and TBB copies that thread's
# settings into the workers it starts.
FAST_MATH_SOURCE = """
#include <xmmintrin.h>
void enable_flush_to_zero(void) { _mm_setcsr(_mm_getcsr() | 0x8040); }
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
@pytest.mark.skipif(os.uname().machine != "x86_64", reason="MXCSR is x86-64")
@pytest.mark.parametrize(
    ("query", "embeddings"),
    [
        ("[1.0, 2.0]", "[3e-20, 4e-20] * 3"),
        ("[1.0, 2.0]", "[3e-20, 4e-20] * 40_000"),
        ("[3e-20, 4e-20]", "[1.0, 2.0] * 3"),
    ],
    ids=["rows-on-calling-thread", "rows-on-workers", "query"],
)
def test_scores_ignore_flush_to_zero_set_by_another_library(tmp_path, query, embeddings):
    library = tmp_path / "fastmath.so"
    source = tmp_path / "fastmath.c"
    source.write_text(FAST_MATH_SOURCE)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True, timeout=TIMEOUT)
    # Every product in the subnormal vector is subnormal: flushed to zero, its
    # squared norm would be 0 and the call would score 0.0 or nothing at all.
    body = f"""
        import ctypes
        if "FLUSH_TO_ZERO" in os.environ:
            ctypes.CDLL({str(library)!r}).enable_flush_to_zero()
            assert sys.float_info.min / 2 == 0.0
        report(_velk.top_k_flat({query}, {embeddings}, 2, 2))
    """
    (plain,) = run_child(body)
    (flushed,) = run_child(body, env={"FLUSH_TO_ZERO": "1"})
    assert plain[0][1] == pytest.approx(0.98386991)
    assert flushed == plain
