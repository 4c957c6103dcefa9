"""Runs the code blocks of one Markdown page as a reader would, in this interpreter:

    python doc_snippets.py PAGE

- ```python blocks run in order in one namespace per page, that of __main__ as
  in a script (so `if __name__ == "__main__":` blocks run, and a process pool's
  forked workers find the page's functions); a block that starts with >>> is a
  doctest, whose output must match (ELLIPSIS and NORMALIZE_WHITESPACE are on).
- ```sh blocks run with bash (-euo pipefail) in the current directory, with
  `python3` meaning this interpreter; the command must succeed.
- A block that must not run (it installs, or runs for many minutes) is preceded
  by <!-- skip: next "the reason" -->, which stays invisible on the page.
- ```text blocks (output, formulas) and MyST directives are not code; any other
  language is refused, so that no block escapes by its fence.

Prints one line per block (ran / not run: reason) and exits non-zero at the
first block that fails, after printing why. The page runs in a process of its
own (tests/python/test_docs.py starts it), so what a page sets in os.environ or
in the thread pool stays with it.
"""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
import traceback
from pathlib import Path
from unittest import SkipTest

from sybil import Document, Example
from sybil.parsers.myst import CodeBlockParser, PythonCodeBlockParser, SkipParser

LANGUAGES = {"python", "sh", "text"}
FENCE = re.compile(r"^ *(`{3,}|~{3,}) *([^\s`]*)", re.MULTILINE)


def fence_languages(text: str) -> list[str]:
    """The info word of every opening fence (closing fences alternate with them)."""
    return [language for k, (_, language) in enumerate(FENCE.findall(text)) if k % 2 == 0]


def run_shell(example: Example) -> None:
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", example.parsed], capture_output=True, text=True,
                          timeout=600)
    if done.returncode != 0:
        raise AssertionError(f"exit status {done.returncode}\n{done.stdout}{done.stderr}")


def main(page: Path) -> int:
    text = page.read_text()
    unknown = sorted({lang for lang in fence_languages(text) if lang not in LANGUAGES and not lang.startswith("{")})
    if unknown:
        print(f"{page}: code blocks in {unknown}: use python (run), sh (run, or skipped with a reason) or text")
        return 1

    document = Document.parse(
        str(page), PythonCodeBlockParser(doctest_optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE),
        CodeBlockParser("sh", run_shell), SkipParser())
    document.namespace = vars(sys.modules["__main__"])
    for example in document.examples():
        kind = type(example.region.parsed).__name__
        if kind == "tuple":  # a skip directive: it only marks the next block
            example.evaluate()
            continue
        try:
            example.evaluate()
        except SkipTest as reason:
            print(f"line {example.line}: not run: {reason}")
            continue
        except BaseException:
            print(f"line {example.line}: FAILED")
            traceback.print_exc(file=sys.stdout)
            return 1
        print(f"line {example.line}: ran")
    return 0


if __name__ == "__main__":
    # python3 in a shell block is the interpreter that runs the page.
    bin_dir = Path(sys.argv[2]) if len(sys.argv) > 2 else None
    if bin_dir is not None:
        os.environ["PATH"] = f"{bin_dir}{os.pathsep}{os.environ['PATH']}"
    sys.exit(main(Path(sys.argv[1])))
