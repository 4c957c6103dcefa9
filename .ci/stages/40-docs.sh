#!/usr/bin/env bash
# The documentation site, built as the README says, from a fresh virtual
# environment, nitpicky and with warnings as errors: a broken reference (also a
# type or a See Also entry of the API reference that links nowhere), a page left
# out of the table of contents or a missing include fails the stage. (Every code block
# of the pages runs in the Python test suite, tests/python/test_docs.py.)
#
#   bash .ci/stages/40-docs.sh        (PYTHON picks the interpreter, default python3)
set -euo pipefail
cd "$(dirname "$0")/../.."

work="$(mktemp -d "${TMPDIR:-/tmp}/corvane-docs.XXXXXX")"
trap 'rm -rf "$work"' EXIT

"${PYTHON:-python3}" -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q ".[docs]"
start=$SECONDS
"$py" -m sphinx -n -W --keep-going -q -b html docs "$work/html"
echo "site built in $((SECONDS - start)) s: $(find "$work/html" -name '*.html' | wc -l) pages"
