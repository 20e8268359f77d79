"""Signals during a search (Ctrl-C stops it, the process stays usable) and
forks at any moment (no child ever hangs)."""

import json
import signal

import pytest

from conftest import run_python

# Batches of every size, searched in a loop until a signal lands inside a call
# or between two; the 4096-query calls take seconds on two cores, so a search
# that only looks at signals when it returns fails the latency bound. Then a
# handler that does not raise, and an exact search.
INTERRUPT = """
import json, os, random, signal, sys, threading, time
import numpy as np
import _velk, velk
rng = np.random.default_rng(0)
E = rng.standard_normal((100_000, 256), dtype=np.float32)
Q = rng.standard_normal((NQ, 256), dtype=np.float32)
sent = []

class Alarm(Exception):
    pass

def alarm(signum, frame):
    raise Alarm

signal.signal(signal.SIGALRM, alarm)
handled = []
signal.signal(signal.SIGUSR1, lambda signum, frame: handled.append(signum))

def send(signum):
    time.sleep(random.uniform(0.05, 0.3))
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signum)

if "DASK":
    import dask.array as da
    import velk.dask
    # Made once: from_array copies E, and a copy of 100 MB (page faults and
    # all) is dask's time, not the search's.
    DE = da.from_array(E, chunks=(12_500, 256))

def call(queries):
    if "DASK":
        return velk.dask.search(queries, DE, 10, scheduler="DASK", threads=THREADS)
    return velk.search(queries, E, 10, threads=THREADS)

# One call before any signal: dask imports its schedulers (and distributed)
# on first use, and a signal that lands inside an import leaves a half-made
# module behind, which fails every later call.
call(Q[:1])

out = {}
for signum, name in ((signal.SIGINT, "KeyboardInterrupt"), (signal.SIGALRM, "Alarm")):
    sender = threading.Thread(target=send, args=(signum,))
    sender.start()
    try:
        # Short calls in a loop: the signal lands inside one or between two.
        while True:
            call(Q)
    except BaseException as error:
        out[name] = [repr(error), time.perf_counter() - sent[-1] if sent else None]
    try:
        sender.join()
    except BaseException as late:
        # The loop ended before this round's signal: say what ended it.
        out[name + " arrived after the loop"] = repr(late)
# A handler that does not raise lets the search run to its exact end.
sender = threading.Thread(target=send, args=(signal.SIGUSR1,))
sender.start()
whole = call(Q[:512])
sender.join()
out["handled"] = handled
want = [[i for i, _ in _velk.top_k_flat_np(q, E, 256, 10)] for q in Q[:4]]
out["exact"] = np.asarray(whole.indices)[:4].tolist() == want
out["next"] = velk.search(Q[:4], E, 10).indices.tolist() == want
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    ("nq", "threads", "dask"),
    [
        (4096, None, ""),
        (4096, 1, ""),
        (512, None, ""),
        (4, None, ""),
        (1, 1, ""),
        (256, None, "sync"),
        (256, None, "threads"),
    ],
)
def test_a_signal_handler_that_raises_stops_the_search_and_the_next_call_is_exact(nq, threads, dask):
    code = INTERRUPT.replace("NQ", str(nq)).replace("THREADS", str(threads)).replace("DASK", dask)
    completed = run_python(code, timeout=120)
    assert completed.returncode == 0, completed.stderr
    out = json.loads(completed.stdout)
    for name in ("KeyboardInterrupt", "Alarm"):
        raised, latency = out[name]
        assert raised == name + "()", out
        # Within milliseconds in practice; the bound leaves room for a loaded machine.
        assert latency < 1.0, (name, latency)
    assert out["handled"] == [signal.SIGUSR1]
    assert out["exact"] and out["next"]


# Children forked in a tight loop by another thread while the main thread
# creates the pool and searches; each child searches (and forks a grandchild
# that searches) under an alarm. A child that hangs dies of SIGALRM.
FORKS = """
import json, os, signal, sys, threading
import numpy as np
import _velk, velk
E = np.random.default_rng(0).standard_normal((20_000, 64), dtype=np.float32)
Q = E[:4]
pids = []

def search_or_fail():
    signal.alarm(20)
    # threads=1 never touches the pool, so the parent starts without one and the
    # forks race its creation; the single-query call uses the pool.
    want = velk.search(Q, E, 10, threads=1).indices.tolist()
    single = [i for i, _ in _velk.top_k_flat_np(Q[1], E, 64, 10)]
    return velk.search(Q, E, 10).indices.tolist() == want and single == want[1]

def child():
    ok = search_or_fail()
    grandchild = os.fork()
    if grandchild == 0:
        os._exit(0 if search_or_fail() else 1)
    _, status = os.waitpid(grandchild, 0)
    os._exit(0 if ok and os.waitstatus_to_exitcode(status) == 0 else 1)

def forker():
    for _ in range(CHILDREN):
        pid = os.fork()
        if pid == 0:
            child()
        pids.append(pid)

thread = threading.Thread(target=forker)
thread.start()
for _ in range(20):
    velk.search(Q, E, 10)
thread.join()
print(json.dumps([os.waitstatus_to_exitcode(os.waitpid(p, 0)[1]) for p in pids]))
"""


@pytest.mark.parametrize("workers", ["2", "256"])
def test_children_forked_before_during_and_after_pool_creation_never_hang(workers):
    completed = run_python(FORKS.replace("CHILDREN", "30"), env={"RAYON_NUM_THREADS": workers}, timeout=180)
    assert completed.returncode == 0, completed.stderr
    codes = json.loads(completed.stdout)
    assert codes.count(-signal.SIGALRM) == 0, codes
    assert codes == [0] * 30, codes
