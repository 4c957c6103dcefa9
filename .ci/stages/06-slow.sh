#!/usr/bin/env bash
# The slow group, which the README's test command leaves out: the Python tests
# marked slow (statistics over many samples, long loops, the checks that only a
# sanitizer makes worth their time), then the fuzz tests again with ten times
# their default number of examples, then a minute of the soak program
# (tests/soak/soak.py: varied solves in one process; it fails on a wrong result
# or when resident memory keeps growing). Runs against the corvane that the
# README's test command installed into the interpreter (PYTHON, default python3).
#
#   bash .ci/stages/06-slow.sh        (CORVANE_FUZZ_EXAMPLES sets the long fuzz run's examples per test,
#                                      SOAK_SECONDS the soak's length)
set -euo pipefail
cd "$(dirname "$0")/../../tests/python"

python="${PYTHON:-python3}"
jobs="$(nproc 2>/dev/null || echo 2)"
if ! "$python" -c "import corvane, xdist" 2>/dev/null; then
  echo "corvane and pytest-xdist are not installed in $python: run bash tests/run_tests.sh first" >&2
  exit 1
fi

echo "--- tests marked slow"
"$python" -m pytest -q -p no:cacheprovider -n "$jobs" -m slow .

echo "--- long fuzz run"
CORVANE_FUZZ_EXAMPLES="${CORVANE_FUZZ_EXAMPLES:-5000}" \
  "$python" -m pytest -q -p no:cacheprovider -n "$jobs" test_fuzz_boundary.py test_hostile_numbers.py

echo "--- soak"
"$python" ../soak/soak.py --seconds "${SOAK_SECONDS:-60}"
