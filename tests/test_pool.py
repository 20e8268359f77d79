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
# are handed to the workers instead of being scored on the calling thread;
# SMALL is scored on the calling thread, but creates the pool all the same.
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

def score_small():
    return _velk.top_k_flat([1.0, 2.0], [3.0, 4.0] * 2, 2, 3)

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
        score_small()
        scoring = threads()
        for _ in range(5):
            score()
        report(before); report(idle); report(scoring); report(threads())
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
@pytest.mark.parametrize("first_call", ["score()", "score_small()"])
def test_worker_count_follows_the_environment(env, workers, first_call):
    # Every worker is running when the first scoring call returns, whatever its size.
    (count,) = run_child(f"{first_call}; report(threads())", env=env)
    assert count == 1 + workers


def test_worker_count_is_read_once():
    (count,) = run_child(
        """
        score()
        os.environ["RAYON_NUM_THREADS"] = "5"
        score()
        report(threads())
        """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert count == 1 + 2


PREFIX = "The global thread pool has not been initialized.: "

# Forks one child per address-space limit, 0 to 64 MiB above the child's size,
# and makes three flat calls there, then one that ends before scoring. Each
# child reports what its calls did; the parent reports how each child ended.
ADDRESS_SPACE_SWEEP = """
import numpy as np, resource, signal

rng = np.random.default_rng(5)
E = rng.standard_normal((200_000, 64), dtype=np.float32)
Q = E[7].copy()

def calls():
    outcomes = []
    for k in (10, 10, 10, 0):
        try:
            outcomes.append(["returned", _velk.top_k_flat_np(Q, E, 64, k)])
        except BaseException as error:
            outcomes.append([type(error).__name__, str(error)])
    return outcomes

def in_child(headroom):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        signal.alarm(60)  # a hang ends in SIGALRM, which the parent sees
        if headroom is not None:
            size = int(open("/proc/self/statm").read().split()[0]) * 4096
            resource.setrlimit(resource.RLIMIT_AS, (size + headroom * 2**20, resource.RLIM_INFINITY))
        text = json.dumps(calls()).encode()
        os.write(write, text)
        os._exit(0)
    os.close(write)
    chunks = []
    while chunk := os.read(read, 1 << 16):
        chunks.append(chunk)
    os.close(read)
    _, status = os.waitpid(pid, 0)
    return [os.waitstatus_to_exitcode(status), json.loads(b"".join(chunks) or b"null")]

report(in_child(None))
for headroom in range(0, 65, HEADROOM_STEP):
    report([headroom] + in_child(headroom))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the process size from /proc")
def test_address_space_limits_give_results_memory_errors_or_the_pool_panics():
    lines = run_child(
        ADDRESS_SPACE_SWEEP.replace("HEADROOM_STEP", "2"),
        env={"RAYON_NUM_THREADS": "8", "OPENBLAS_NUM_THREADS": "1"},
        timeout=600,
    )
    (status, expected), sweep = lines[0], lines[1:]
    assert status == 0 and expected[0][0] == "returned" and expected[3] == ["returned", []]
    seen = set()
    for headroom, status, outcomes in sweep:
        # Never a hang (SIGALRM) or any other signal, never an abort.
        assert status == 0, (headroom, status)
        kinds = []
        for outcome in outcomes[:3]:
            if outcome[0] == "returned":
                assert outcome == expected[0], headroom
                kinds.append("result")
            elif outcome[0] == "MemoryError":
                kinds.append("memory")
            else:
                assert outcome[0] == "PanicException", (headroom, outcome)
                if outcome[1] == PREFIX + "GlobalPoolAlreadyInitialized":
                    kinds.append("already")
                else:
                    assert outcome[1].startswith(PREFIX + "IOError: ") and "(os error " in outcome[1], outcome
                    kinds.append("io")
        # The start is tried once: its failure comes first, then only the other panic.
        assert kinds.count("io") <= 1, (headroom, outcomes)
        if "io" in kinds:
            after = kinds[kinds.index("io") + 1 :]
            assert set(after) <= {"already", "memory"}, (headroom, outcomes)
        else:
            assert "already" not in kinds, (headroom, outcomes)
        assert outcomes[3] == ["returned", []], headroom
        seen.update(kinds)
    # The sweep must reach both ends: limits that stop the pool, and enough room to score.
    assert {"io", "result"} <= seen, sweep


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the process size from /proc")
def test_the_largest_worker_count_fails_in_bounded_time_when_threads_run_out():
    # 65535 workers with 2 MiB stacks need 128 GiB of address space; a limit of
    # 256 MiB stops the starts early. Without a limit the start ends the same
    # way once the system runs out of thread ids (or succeeds): it must never hang.
    outcomes = run_child(
        """
        import resource
        size = int(open("/proc/self/statm").read().split()[0]) * 4096
        resource.setrlimit(resource.RLIMIT_AS, (size + 256 * 2**20, resource.RLIM_INFINITY))
        for call in (score_small, score_small, lambda: _velk.top_k_flat([1.0], [1.0], 1, 0)):
            try:
                report(["returned", call()])
            except BaseException as error:
                report([type(error).__name__, str(error)])
        report(threads())
        """,
        env={"RAYON_NUM_THREADS": "65535"},
    )
    assert outcomes[0][0] == "PanicException" and outcomes[0][1].startswith(PREFIX + "IOError: "), outcomes
    assert "(os error " in outcomes[0][1]
    assert outcomes[1:3] == [["PanicException", PREFIX + "GlobalPoolAlreadyInitialized"], ["returned", []]]
    # The workers that did start stay parked; none is lost or stopped.
    assert 1 < outcomes[3] < 1 + 65535


def test_many_workers_all_start_and_a_call_wakes_only_what_it_needs():
    (count, same) = run_child(
        """
        expected = [score(k) for k in (1, 10)]
        report(threads())
        report(all(score(k) == expected[i] for _ in range(50) for i, k in enumerate((1, 10))))
        """,
        env={"RAYON_NUM_THREADS": "1000"},
    )
    assert count == 1 + 1000 and same


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
# Values from a small set, so that thousands of rows share each score: ties
# must come out in ascending index however the rows were split.
tied = [float(rng.randrange(-2, 3)) for _ in range(rows * dim)]
for k in (1, 2, 100, 5000):
    flat = _velk.top_k_flat(query[:2], tied, 2, k)
    pairs = [tied[i:i + 2] for i in range(0, len(tied), 2)]
    report([[(i, s.hex()) for i, s in flat], flat == _velk.top_k(query[:2], pairs, k)])
"""


def test_results_do_not_depend_on_the_worker_count():
    single = run_child(RESULTS, env={"RAYON_NUM_THREADS": "1"})
    assert run_child(RESULTS, env={"RAYON_NUM_THREADS": "8"}) == single
    assert run_child(RESULTS) == single
    assert [len(result) for result, _ in single] == [1, 7, 30_000, 1, 2, 100, 5000]
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


PID_REUSE = """
import signal
read, write = os.pipe()
owner = os.fork()
if owner == 0:
    # The pool's owner scores, leaves a child behind and exits.
    owner_pid = os.getpid()
    score()
    if os.fork() == 0:
        # Once the owner is gone for good (reaped), ask the kernel to hand its
        # process id to this child's next child.
        while os.path.exists(f"/proc/{owner_pid}"):
            time.sleep(0.01)
        outcome = "pid not reused"
        for _ in range(20):
            with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                f.write(str(owner_pid - 1))
            pid = os.fork()
            if pid == 0:
                if os.getpid() != owner_pid:
                    os._exit(7)
                signal.alarm(30)  # a hang ends in SIGALRM
                os._exit(0 if score() == score() and len(score(ROWS)) == ROWS else 3)
            _, status = os.waitpid(pid, 0)
            if os.waitstatus_to_exitcode(status) != 7:
                outcome = os.waitstatus_to_exitcode(status)
                break
        os.write(write, json.dumps(outcome).encode())
    os._exit(0)
os.waitpid(owner, 0)
os.close(write)
report(json.loads(os.read(read, 1000)))
"""


@pytest.mark.skipif(
    not os.access("/proc/sys/kernel/ns_last_pid", os.W_OK),
    reason="choosing the next process id needs /proc/sys/kernel/ns_last_pid (root)",
)
def test_a_descendant_given_the_owners_process_id_scores_without_workers():
    # A descendant that inherits the pool's memory and happens to get the
    # owner's old process id must not take the dead owner's workers for its own.
    (outcome,) = run_child(PID_REUSE, env={"RAYON_NUM_THREADS": "3"})
    if outcome == "pid not reused":
        pytest.skip("another process took the owner's process id first")
    assert outcome == 0


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
# denormals-are-zero on for the thread that loads it, and new threads inherit
# that thread's settings.
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


# numpy's own BLAS threads are held to one so that only the pool's are counted.
BOTH_MODULES = """
import numpy as np, velk

def names():
    own = open("/proc/self/comm").read()
    return own, [open(f"/proc/self/task/{t}/comm").read() for t in os.listdir("/proc/self/task")]

E = np.asarray(EMBEDDINGS, np.float32).reshape(-1, DIM)
calls = {"_velk": lambda: _velk.top_k_flat_np(E[3], E, DIM, 5), "velk.search": lambda: velk.search(E[:8], E, 5)}
report(threads())
for name in ORDER:
    calls[name]()
    report([threads(), names()])
"""


@pytest.mark.parametrize("order", [("_velk", "velk.search"), ("velk.search", "_velk")])
def test_both_modules_share_one_pool_whose_workers_keep_the_process_name(order):
    before, (first, (own, names)), (second, _) = run_child(
        BOTH_MODULES.replace("ORDER", repr(order)),
        env={"RAYON_NUM_THREADS": "3", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
    )
    assert before == 1
    # Whichever module runs first starts the pool, the other uses it.
    assert first == second == 1 + 3
    # Read right after the first call: no worker renames itself, early or late.
    assert own.strip() and names == [own] * first
