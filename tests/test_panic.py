"""Internal failures: pyo3_runtime.PanicException, the report on standard error,
a panic that comes back through Python code, and exhausted native memory."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import _velk

from conftest import UNDER_ASAN, check_driver, run_python

DOC_TAIL = (
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def catch_panic(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


def test_panic_class():
    error = catch_panic(lambda: _velk.top_k_flat([], [], 0, 0))
    cls = type(error)
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__qualname__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith(DOC_TAIL)
    sentence = cls.__doc__[1 : -len(DOC_TAIL)]
    assert "\n" not in sentence and "panic" in sentence
    assert str(error) == "attempt to divide by zero"
    assert error.args == ("attempt to divide by zero",)
    assert type(catch_panic(lambda: _velk.top_k_flat_np(np.ones(1, np.float32), np.ones(1, np.float32), 0, 1))) is cls


def test_except_exception_does_not_catch_a_panic():
    with pytest.raises(BaseException) as info:  # noqa: PT012 - the try block is what is tested
        try:
            _velk.top_k_flat([1.0], [1.0], 0, 1)
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("a panic was caught as an Exception")
    assert str(info.value) == "attempt to divide by zero"


@pytest.mark.parametrize(
    "function",
    [_velk.top_k_flat, lambda q, e, d, k: _velk.top_k_flat_np(np.array(q, np.float32), np.array(e, np.float32), d, k)],
)
@pytest.mark.parametrize(
    "query, embeddings, k", [([], [], 0), ([1.0], [1.0], 1), ([0.0], [1.0, 2.0], 5), ([1.0], [], 2**64 - 1)]
)
def test_dim_zero_panics_before_every_other_test(function, query, embeddings, k):
    assert str(catch_panic(lambda: function(query, embeddings, 0, k))) == "attempt to divide by zero"
    assert _velk.top_k_flat([1.0], [1.0], 1, 1) == [(0, 1.0)]  # later calls work


REPORT = re.compile(
    r"\nthread '[^'\n]+' \((\d+)\) panicked at (src/similarity/[\w/]+\.cpp):(\d+):(\d+):\n"
    r"attempt to divide by zero\n"
)


def test_report_on_standard_error():
    result = run_python("""
        import _velk
        for _ in range(2):
            try:
                _velk.top_k_flat([], [], 0, 0)
            except BaseException as error:
                print(type(error).__name__, error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException attempt to divide by zero\n" * 2
    reports = REPORT.findall(result.stderr)
    assert len(reports) == 2, result.stderr
    assert reports[0] == reports[1]  # same thread, same source location
    # The hint about backtraces follows the first report only.
    notes = [line for line in result.stderr.splitlines() if line.startswith("note:")]
    assert len(notes) == 1 and "BACKTRACE" in notes[0]
    assert result.stderr.index(notes[0]) < result.stderr.rindex("panicked at")


RESUME_SETUP = """
    import sys, numpy
    import _velk
    try:
        _velk.top_k_flat([], [], 0, 0)
    except BaseException as error:
        caught = error
    Sub = type("Sub", (type(caught),), {})
    print("---", file=sys.stderr, flush=True)

    class Rethrow:
        def __float__(self):
            raise caught
        def __index__(self):
            raise caught
        def __len__(self):
            raise caught
        def __getitem__(self, i):
            return 1.0
        def __iter__(self):
            raise caught
        def __buffer__(self, flags):
            raise caught
"""

# Where the panic re-enters, and the Python method it comes out of.
RESUME_CALLS = {
    "element": ("_velk.cosine_similarity([Rethrow()], [1.0])", "__float__"),
    "row element": ("_velk.top_k([1.0], [[1.0], [2.0, Rethrow()]], 1)", "__float__"),
    "count": ("_velk.top_k([1.0], [[1.0]], Rethrow())", "__index__"),
    "length hint": ("_velk.top_k_flat([1.0], Rethrow(), 1, 1)", "__len__"),
    "buffer": ("_velk.top_k_flat_np(numpy.ones(1, numpy.float32), Rethrow(), 1, 1)", "__buffer__"),
}


@pytest.mark.parametrize("where", RESUME_CALLS)
def test_a_panic_coming_back_through_python_is_resumed(where):
    call, method = RESUME_CALLS[where]
    result = run_python(
        RESUME_SETUP
        + f"""
    try:
        {call}
    except BaseException as error:
        print(type(error) is type(caught), error is not caught, repr(str(error)), error.args)
    print(_velk.cosine_similarity([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]))
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True True 'attempt to divide by zero' ('attempt to divide by zero',)\n0.9746317863464355\n"
    after = result.stderr.split("---\n", 1)[1]
    lines = after.splitlines()
    assert "PanicException" in lines[0] and "resum" in lines[0]
    assert lines[1] == "Python stack trace below:"
    assert lines[2] == "Traceback (most recent call last):"
    assert f", in {method}\n" in after
    assert lines[-1] == "pyo3_runtime.PanicException: attempt to divide by zero"
    assert "panicked at" not in after  # a resumed panic writes no second report


def test_a_panic_whose_text_cannot_be_had_is_resumed_with_a_fixed_message():
    result = run_python(
        RESUME_SETUP
        + """
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    class Raise:
        def __float__(self):
            raise type(caught)(Unprintable())
    try:
        _velk.cosine_similarity([Raise()], [1.0])
    except BaseException as error:
        print(type(error) is type(caught), str(error))
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True Unwrapped panic from Python code\n"
    assert "Python stack trace below:" in result.stderr


@pytest.mark.parametrize(
    "raise_statement, expected",
    [
        ("raise ValueError('plain value error')", "ValueError plain value error"),
        # Only the panic class itself is resumed; a subclass is an ordinary error.
        ("raise Sub('a subclass')", "Sub a subclass"),
    ],
)
def test_ordinary_exceptions_from_python_code_get_no_banner(raise_statement, expected):
    result = run_python(
        RESUME_SETUP.replace("raise caught", raise_statement)
        + """
    try:
        _velk.cosine_similarity([1.0, Rethrow()], [1.0])
    except BaseException as error:
        print(type(error).__name__, error)
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected + "\n"
    assert result.stderr.split("---\n", 1)[1] == ""


MEMORY_SCRIPT = """
    import resource, sys
    import _velk

    def vm_bytes():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    n = 20_000_000
    data = [1.0] * n          # one float object, n list slots: 160 MB of Python memory
    rows = [[]] * n
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + 150 * 2**20, hard))
    for name, call in [
        # 80 MB of floats fit; with every row wanted, one 16-byte hit per row does not.
        ("flat", lambda: _velk.top_k_flat([1.0], data, 1, n)),
        # A few rows wanted: each worker keeps only its best, so the call fits.
        ("flat-top-10", lambda: _velk.top_k_flat([1.0], data, 1, 10)),
        # The native rows alone need 24 bytes each.
        ("nested", lambda: _velk.top_k([1.0], rows, 1)),
    ]:
        try:
            call()
        except MemoryError:
            print(name, "MemoryError")
        except BaseException as error:
            print(name, type(error).__name__, error)
        else:
            print(name, "succeeded")
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    del rows
    print(_velk.top_k_flat([1.0], data[:4], 1, 2))
"""


def test_exhausted_native_memory_is_a_memory_error():
    result = run_python(MEMORY_SCRIPT, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "flat MemoryError\nflat-top-10 succeeded\nnested MemoryError\n[(0, 1.0), (1, 1.0)]\n"
    assert "memory allocation of" not in result.stderr


# Shared by the two scripts below: the size to put limits above, and the report,
# which says whether anything set the traces that PyErr_Print leaves behind.
LIMIT_SWEEP_PRELUDE = """
    import json, resource, sys
    import _velk

    def vm_bytes():
        with open("/proc/self/status", "rb") as status:
            for line in status:
                if line.startswith(b"VmSize:"):
                    return int(line.split()[1]) * 1024

    def report(**values):
        printed = [name for name in ("last_exc", "last_value", "last_type") if hasattr(sys, name)]
        print(json.dumps(dict(values, printed=printed)))

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
"""

RESULT_MEMORY_SCRIPT = (
    LIMIT_SWEEP_PRELUDE
    + """
    import gc
    import numpy as np

    n = k = 200_000
    embeddings = np.random.default_rng(3).standard_normal((n, 4)).astype(np.float32)
    query = np.ones(4, np.float32)
    # Before any limit: the workers start and numpy keeps the arrays' buffer
    # layouts, so that the limits below bite on scoring and on the result only.
    expected = _velk.top_k_flat_np(query, embeddings, 4, k)

    # A call that ran out of memory while it built the result had made the list
    # and its tuples; past this low threshold that schedules a collection, which
    # runs right after the next call from Python (the setrlimit below). A
    # failure while scoring makes no such object.
    collections = []
    gc.callbacks.append(lambda phase, info: phase == "start" and collections.append(phase))
    gc.set_threshold(100)

    outcomes = []
    extra = 0
    while outcomes[-3:] != ["result"] * 3 and extra <= 64 * 2**20:
        gc.collect()
        seen = len(collections)
        result = None
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + extra, hard))
        try:
            result = _velk.top_k_flat_np(query, embeddings, 4, k)
            outcome = "result" if result == expected else "wrong result"
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as error:
            outcome = f"{type(error).__name__}: {error}"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        if outcome == "MemoryError":
            outcome += " building the result" if len(collections) > seen else " while scoring"
        outcomes.append(outcome)
        del result
        extra += 256 * 1024
    report(outcomes=outcomes, after=_velk.top_k_flat_np(query, embeddings, 4, k) == expected)
"""
)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory cannot live under an address-space limit")
def test_a_result_that_memory_cannot_hold_is_a_memory_error():
    # The address-space limit rises in small steps from the process's size, so
    # that memory runs out first while scoring, then at different points of the
    # 200,000 ints, floats and tuples of the result, and at last not at all.
    result = run_python(RESULT_MEMORY_SCRIPT, timeout=300)
    assert result.returncode == 0, result.stderr
    # Nothing printed: no traceback from sys.excepthook, no "lost sys.stderr",
    # no panic report.
    assert result.stderr == ""
    report = json.loads(result.stdout)
    outcomes = report["outcomes"]
    assert set(outcomes) <= {"result", "MemoryError while scoring", "MemoryError building the result"}, outcomes
    assert outcomes.count("MemoryError building the result") >= 3, outcomes
    assert outcomes[-3:] == ["result"] * 3, outcomes
    assert report["printed"] == []
    assert report["after"]


MESSAGE_MEMORY_SCRIPT = (
    LIMIT_SWEEP_PRELUDE
    + """
    name = "x" * 2**22
    expected = f"top_k() got an unexpected keyword argument '{name}'"
    outcomes = []
    for step in range(80):
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + step * 256 * 1024, hard))
        try:
            _velk.top_k(**{name: 1})
            outcome = "returned"
        except MemoryError:
            outcome = "MemoryError"
        except TypeError as error:
            outcome = "TypeError" if str(error) == expected else "another TypeError"
        except BaseException as error:
            outcome = f"{type(error).__name__}: {str(error)[:200]}"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        outcomes.append(outcome)
    report(outcomes=outcomes, after=_velk.cosine_similarity([1.0, 0.0], [1.0, 1.0]))
"""
)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory cannot live under an address-space limit")
def test_an_error_message_that_memory_cannot_hold_is_a_memory_error():
    # A keyword name of 4 MiB is quoted in the binding error. As the limit rises,
    # memory runs out while the message is built, or while its str is made on
    # the way out of the call, where nothing can unwind any further, or not at
    # all.
    result = run_python(MESSAGE_MEMORY_SCRIPT, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = json.loads(result.stdout)
    assert set(report["outcomes"]) == {"MemoryError", "TypeError"}, report["outcomes"]
    assert report["printed"] == []
    assert report["after"] == 0.7071067690849304


# A fresh process whose first C++ exception comes with exhausted memory: the
# first call starts the pool and succeeds, the second asks for more than the
# limit leaves. The thread that throws first must not need memory for its
# exception state (the loader would end the process with exit 127).
FIRST_FAILURE = """
import resource, sys
import numpy as np
import _velk, velk

E = np.tile(np.array([1.0, 0.5], np.float32), 3_200_000).reshape(-1, 32)
q = np.tile(np.array([1.0, 2.0], np.float32), 16)
call = {"_velk": lambda k: _velk.top_k_flat_np(q, E, 32, k),
        "velk.search": lambda k: velk.search(q[None], E, k)}[sys.argv[1]]
call(10)
size = int(open("/proc/self/statm").read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[2]) * 1024, resource.RLIM_INFINITY))
try:
    call(200_000)
    print("result")
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory needs more address space than any limit here")
@pytest.mark.parametrize(("entry", "workers"), [("_velk", 1), ("_velk", 8), ("velk.search", 2)])
def test_a_first_failure_under_exhausted_memory_is_a_memory_error(entry, workers):
    env = {**os.environ, "RAYON_NUM_THREADS": str(workers), "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    limits = range(0, 8 * 1024 + 1, 256)  # KiB above the process's size
    outcomes = {}
    # Two fresh interpreters at a time.
    for pair in zip(limits[::2], [*limits[1::2], None], strict=True):
        children = {
            extra: subprocess.Popen(
                [sys.executable, "-c", FIRST_FAILURE, entry, str(extra)],
                env=env,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for extra in pair
            if extra is not None
        }
        for extra, child in children.items():
            out, err = child.communicate(timeout=60)
            assert child.returncode == 0, (extra, child.returncode, err[-2000:])
            outcomes[extra] = out.strip()
    assert set(outcomes.values()) <= {"result", "MemoryError"}, outcomes
    assert "MemoryError" in outcomes.values()


def test_a_workers_report_says_unnamed_whatever_name_it_inherited():
    # The driver's own name is the one its workers inherit; its panic on a
    # worker must still be reported as an unnamed thread's.
    stress = check_driver("pool_stress")
    result = subprocess.run(
        [stress, "1"], capture_output=True, text=True, timeout=120, env={**os.environ, "RAYON_NUM_THREADS": "2"}
    )
    assert result.returncode == 0, result.stderr
    reports = re.findall(
        r"\nthread '([^'\n]+)' \(\d+\) panicked at tests/pool_stress\.cpp:\d+:\d+:\n"
        r"a panic inside a range\n",
        result.stderr,
    )
    assert reports == ["<unnamed>"], result.stderr
