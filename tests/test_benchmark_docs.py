"""docs/benchmarks.md, results.txt and README's speed summary are written from results.json alone; hold the
committed files to what benchmarks/run.py writes, and its ratios to the figures they come from."""

import copy
import importlib.util
import json
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("benchmark_run", ROOT / "benchmarks" / "run.py")
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

COMMITTED = json.loads((ROOT / "benchmarks" / "results" / "results.json").read_text())


def readme_summary(text):
    start = text.index(bench.README_START) + len(bench.README_START)
    return text[start : text.index(bench.README_END)].strip()


@pytest.mark.parametrize(
    ("path", "written"),
    [
        ("docs/benchmarks.md", lambda results: bench.benchmarks_page(results)),
        ("benchmarks/results/results.txt", lambda results: bench.report(results) + "\n"),
        ("README.md", lambda results: bench.headline(results)),
    ],
    ids=["benchmarks.md", "results.txt", "README summary"],
)
def test_committed_documents_are_what_the_results_give(path, written):
    text = (ROOT / path).read_text(encoding="utf-8")
    if path == "README.md":
        text = readme_summary(text)
    assert text == written(COMMITTED), f"{path} is stale: run `python benchmarks/run.py --from-results`"


def with_batch_times(velk, faiss, numpy, single):
    """The committed results with every batch size timed alike."""
    results = copy.deepcopy(COMMITTED)
    batch = results["batch"][0]
    for size in batch["seconds"]:
        batch["seconds"][size] = {"velk.search": velk, "faiss IndexFlatIP": faiss, "numpy Q @ E.T": numpy}
    batch["top_k_flat_np"] = single
    return results


@pytest.mark.parametrize(
    ("velk", "faiss", "numpy", "single", "expected"),
    [
        # 64 single calls of 10 ms against one 160 ms batch: 4 times less.
        (
            0.16,
            0.32,
            0.48,
            0.01,
            [
                "64 queries takes 0.16 s, 4.0 times less than 64",
                "3.0 times less than numpy",
                "2.0 times less than faiss",
            ],
        ),
        # A slower velk must read as a ratio below 1, not be turned around.
        (1.0, 0.5, 0.25, 0.001, ["0.1 times less than 64", "0.2 times less than numpy", "0.5 times less than faiss"]),
    ],
)
def test_headline_ratios_divide_the_right_way(velk, faiss, numpy, single, expected):
    text = " ".join(bench.headline(with_batch_times(velk, faiss, numpy, single)).split())
    for phrase in expected:
        assert phrase in text


def test_batch_table_rows_hold_each_size_and_its_ratios():
    results = with_batch_times(0.2, 0.6, 1.0, 0.1)
    section = bench.benchmarks_page(results).split("## `velk.search`")[1].split("\n## ")[0]
    rows = [line for line in section.splitlines() if re.match(r"\| \d+ \| ", line)]
    sizes = [row.split(" | ")[0].strip("| ") for row in rows]
    assert sizes == list(results["batch"][0]["seconds"])
    for row, size in zip(rows, sizes, strict=True):
        cells = [cell.strip() for cell in row.strip("|").split("|")]
        assert cells[4:] == [f"{int(size) * 0.1 / 0.2:.2f}x", "3.00x", "5.00x"]


@pytest.mark.parametrize("busy", [-2.7e-12, 0.0, None])
def test_load_never_prints_a_negative_share(busy):
    shown = bench.load({"busy_before": busy, "others_during": 0.02})
    assert not shown.startswith("-") and shown.endswith("/ 2%")


@pytest.mark.parametrize(
    "readme",
    [
        "# title\n\nbefore\n\n{start}\nold summary\n{end}\n\nafter\n",
        "# title\n{start}{end}\nafter\n",
        "# title\n\nno markers here\n",
        "# title\n{end}\nmarkers the wrong way round\n{start}\n",
    ],
    ids=["replaced", "empty", "no markers", "reversed markers"],
)
def test_readme_update_touches_only_the_summary(tmp_path, monkeypatch, readme):
    path = tmp_path / "README.md"
    original = readme.format(start=bench.README_START, end=bench.README_END)
    path.write_text(original, encoding="utf-8")
    monkeypatch.setattr(bench, "README", path)
    bench.update_readme(COMMITTED)
    once = path.read_text(encoding="utf-8")
    bench.update_readme(COMMITTED)
    assert path.read_text(encoding="utf-8") == once  # a second run changes nothing
    if bench.README_START in original and original.index(bench.README_START) < original.index(bench.README_END):
        assert readme_summary(once) == bench.headline(COMMITTED)
        outside = once.replace(bench.headline(COMMITTED), "")
        assert outside.replace("\n", "") == re.sub(
            r"(?s)(" + re.escape(bench.README_START) + ").*?(" + re.escape(bench.README_END) + ")", r"\1\2", original
        ).replace("\n", "")
    else:
        assert once == original


def storage_result(kind, ours, float32, read, batch_ours, batch_float32):
    """One storage section's figures, the same on 1 and 2 threads."""
    single = {f"velk.search {kind}": ours, f"plain read {kind}": read}
    if kind != "float32":
        single.update({"velk.search float32": float32, "plain read float32": 2 * read})
    batch = {f"velk.search {kind}": batch_ours}
    if kind != "float32":
        batch["velk.search float32"] = batch_float32
    return {
        "kind": kind,
        "n": 1000,
        "dim": 8,
        "bytes": 8000,
        "single": {"1": dict(single), "2": dict(single)},
        "batch": batch,
        "equal_to_float32": True,
        "faiss": False,
    }


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        # 0.1 s against a 0.09 s read is 1.11x (within 1.15x); float32 4x slower; 2x at 64 queries.
        (storage_result("int8", 0.1, 0.4, 0.09, 1.0, 2.0), [("1.11x", True), ("4.00x", True), ("2.00x", True)]),
        # int8 only 2.5x faster than float32 misses its 3x; 0.8x at 64 queries misses 1x.
        (storage_result("int8", 0.2, 0.5, 0.1, 1.0, 0.8), [("2.00x", False), ("2.50x", False), ("0.80x", False)]),
        # float16 needs 1.8x: 1.9x is met.
        (storage_result("float16", 0.1, 0.19, 0.1, 1.0, 1.0), [("1.00x", True), ("1.90x", True), ("1.00x", True)]),
        # float32 has only the read target.
        (storage_result("float32", 0.12, None, 0.1, 1.0, None), [("1.20x", False)]),
    ],
    ids=["int8 met", "int8 missed", "float16 met", "float32"],
)
def test_storage_targets_divide_the_right_way(result, expected):
    verdicts = bench.storage_verdicts(result)
    per_thread = [(figure, met) for target, figure, met in verdicts if target.startswith("1 thread")]
    batch = [(figure, met) for target, figure, met in verdicts if target.startswith(f"{bench.STORAGE_QUERIES} ")]
    assert per_thread + batch == expected
    # Every target shows up in the page with its verdict.
    page = bench.storage_page([result])
    for target, figure, met in verdicts:
        assert f"| {target} | {figure} | {'met' if met else '**not met**'} |" in page


def test_readme_storage_table_is_what_the_results_give():
    if not COMMITTED.get("storage"):
        pytest.skip("results.json has no storage figures")
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    start = readme.index(bench.STORAGE_START) + len(bench.STORAGE_START)
    assert readme[start : readme.index(bench.STORAGE_END)].strip() == bench.storage_summary(COMMITTED["storage"])
