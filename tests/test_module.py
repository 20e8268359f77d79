"""The module object: its attributes, docs and signatures, one module per
process, and the refusal of a second interpreter."""

import inspect
import types

import pytest

import _velk

from conftest import run_python

NAMES = ["cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]
NP_DOC = (
    "Zero-copy variant \u2014 accepts numpy float32 arrays via the Python buffer protocol.\n"
    "The caller must ensure the arrays are C-contiguous float32."
)


def test_module_attributes():
    assert _velk.__name__ == "_velk"
    assert _velk.__doc__ == ""
    assert _velk.__all__ == NAMES
    assert type(_velk.__all__) is list
    public = {name for name in vars(_velk) if not name.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize(
    "name, text_signature, parameters, doc",
    [
        ("cosine_similarity", "(a, b)", ["a", "b"], None),
        ("top_k", "(query, embeddings, k)", ["query", "embeddings", "k"], None),
        ("top_k_flat", "(query, embeddings, dim, k)", ["query", "embeddings", "dim", "k"], None),
        ("top_k_flat_np", "(query, embeddings, dim, k)", ["query", "embeddings", "dim", "k"], NP_DOC),
    ],
)
def test_functions(name, text_signature, parameters, doc):
    function = getattr(_velk, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc
    assert function.__module__ == "_velk"
    assert function.__self__ is _velk
    signature = inspect.signature(function)
    assert list(signature.parameters) == parameters
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in signature.parameters.values()
    )


def test_panic_class_is_not_a_module_attribute():
    for value in vars(_velk).values():
        assert not (isinstance(value, type) and issubclass(value, BaseException))


def test_only_the_init_function_is_exported():
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", _velk.__file__], capture_output=True, text=True, check=True)
    rows = [line.split() for line in out.stdout.splitlines()]
    symbols = [row[2] for row in rows if len(row) == 3 and row[1].isupper()]
    assert symbols == ["PyInit__velk"]


def test_a_second_import_returns_the_same_module():
    result = run_python("""
        import sys
        import _velk as first
        del sys.modules["_velk"]
        import _velk as second
        assert second is first, "a new module object was made"
        assert second.__all__ == ["cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"], second.__all__
        assert second.top_k is first.top_k
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_calling_the_init_function_again_returns_the_same_module():
    result = run_python("""
        import ctypes, sys
        import _velk
        init = ctypes.PyDLL(_velk.__file__).PyInit__velk
        init.restype = ctypes.py_object
        again = init()
        assert again is _velk
        assert len(_velk.__all__) == 4, _velk.__all__
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_a_second_interpreter_is_refused():
    result = run_python("""
        import _velk
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("skip")
            raise SystemExit
        interpreter = interpreters.create(isolated=False)
        interpreters.run_string(interpreter, '''if True:
            try:
                import _velk
            except ImportError as error:
                print("ImportError:", error, flush=True)
            else:
                print("imported", flush=True)
        ''')
        interpreters.destroy(interpreter)
        print(_velk.cosine_similarity([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]))
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout == "skip\n":
        pytest.skip("no _xxsubinterpreters in this interpreter")
    refusal, after = result.stdout.splitlines()
    assert refusal.startswith("ImportError: ")
    assert "subinterpreters" in refusal and "not support" in refusal
    assert after == "0.9746317863464355"
