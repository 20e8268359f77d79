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
