"""Every code block of the documentation runs: the README, the pages under docs/
and the examples in the type stubs' docstrings (which the API reference shows).

Each page runs in an interpreter of its own (doc_snippets.py), from a scratch
directory that sees the repository's examples/ and docs/, with no corvane
variable set, as a reader at the repository's root who copies the page's blocks
into a script would run them."""

import ast
import doctest
import importlib.metadata
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from support import require, without_leak_reports

import corvane

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
# Relative to the repository's root. Run from a copy of the tests alone, as
# against an installed wheel, the pages are not there and their tests skip.
PAGES = ["README.md", "RELEASING.md", "CHANGELOG.md",
         *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").rglob("*.md"))]


@pytest.fixture
def reader_dir(tmp_path):
    """A working directory that sees the repository's examples/ and docs/ (which no block that runs
    writes to), with `python3` meaning this interpreter."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    # A wrapper, not a symlink: a symlinked interpreter outside its virtual environment would not
    # find the environment's pyvenv.cfg and would run without its packages.
    python3 = bin_dir / "python3"
    python3.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
    python3.chmod(0o755)
    work = tmp_path / "work"
    work.mkdir()
    for name in ("examples", "docs"):
        (work / name).symlink_to(ROOT / name)
    return work, bin_dir


# A page that starts a dask cluster (in its own blocks, or by running the example).
STARTS_DASK = re.compile(r"dask_cluster\.py|distributed\.Client\(")


def run_page(page, reader_dir):
    work, bin_dir = reader_dir
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
    if STARTS_DASK.search(Path(page).read_text()):
        env = without_leak_reports(env)
    return subprocess.run([sys.executable, str(HERE / "doc_snippets.py"), str(page), str(bin_dir)], cwd=work, env=env,
                          capture_output=True, text=True, timeout=900)


@pytest.mark.parametrize("page", PAGES)
def test_page_runs(page, reader_dir):
    done = run_page(require(page), reader_dir)
    assert done.returncode == 0, f"{page}:\n{done.stdout}{done.stderr}"
    for line in re.findall(r"^line \d+: not run: (.*)$", done.stdout, re.MULTILINE):
        assert len(line.split()) >= 3, f"{page}: a block is skipped without a reason: {line!r}"


@pytest.mark.parametrize("block", [
    "```python\nimport corvane\ncorvane.ProbabilisticAssignmentSolver(kmax=-1)\n```",
    "```python\n>>> 1 + 1\n3\n```",
    "```sh\npython3 examples/exact_optimum.py --no-such-option\n```",
    "```bash\necho a block in a language the runner does not know\n```",
], ids=["python raises", "doctest output differs", "shell command fails", "unknown language"])
def test_a_broken_block_fails_its_page(block, tmp_path, reader_dir):
    page = tmp_path / "page.md"
    page.write_text(f"# A page\n\n```python\nx = 1\n```\n\n{block}\n")
    done = run_page(page, reader_dir)
    assert done.returncode != 0, done.stdout


def test_pages_are_found():
    # The README, the site's pages and the guide: a glob that found nothing would test nothing.
    require("docs")
    assert {"README.md", "docs/index.md", "docs/errors.md"} <= set(PAGES) and len(PAGES) >= 10


def stub_docstrings():
    # The installed stubs: the ones editors show, and the source tree's after tests/run_tests.sh.
    stubs = importlib.metadata.distribution("corvane").locate_file("corvane-stubs/__init__.pyi")
    tree = ast.parse(Path(str(stubs)).read_text())
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node):
            yield getattr(node, "name", "corvane"), ast.get_docstring(node)


def test_stub_examples_run(monkeypatch):
    # The examples run with no corvane variable set, and some set one: whatever they leave set is
    # removed, and the suite's own come back at teardown.
    for name in [k for k in os.environ if k.startswith("CORVANE_")]:
        monkeypatch.delenv(name)
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = 0
    try:
        for name, docstring in stub_docstrings():
            test = parser.get_doctest(docstring, {"corvane": corvane}, name, "corvane-stubs/__init__.pyi", 0)
            examples += len(test.examples)
            runner.run(test)
    finally:
        for name in [k for k in os.environ if k.startswith("CORVANE_")]:
            del os.environ[name]
    assert examples >= 5 and runner.summarize(verbose=False).failed == 0
