#!/usr/bin/env bash
# Runs the whole Python test suite, slow group included, as it must hold up:
# while other processes keep every core busy, and as a job started in the
# background runs, with SIGINT ignored (which every process it starts
# inherits). Against the corvane that tests/run_tests.sh installed into the
# interpreter (PYTHON, default python3).
#
#   bash tests/under_load.sh [RUNS]    (RUNS times in a row, default 1; BUSY busy processes, default 4)
set -euo pipefail
cd "$(dirname "$0")/python"

python="${PYTHON:-python3}"
runs="${1:-1}"
busy="${BUSY:-4}"
jobs="$(nproc 2>/dev/null || echo 2)"
if ! "$python" -c "import corvane, xdist" 2>/dev/null; then
  echo "corvane and pytest-xdist are not installed in $python: run bash tests/run_tests.sh first" >&2
  exit 1
fi

spinners=()
stop_spinners() {
  for pid in "${spinners[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_spinners EXIT
for _ in $(seq "$busy"); do
  (while :; do :; done) &
  spinners+=("$!")
done

for run in $(seq "$runs"); do
  echo "=== run $run of $runs: $busy busy processes on $jobs cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  start=$SECONDS
  (trap '' INT && exec "$python" -m pytest -q -p no:cacheprovider -n "$jobs" .)
  echo "=== run $run passed in $((SECONDS - start)) s, load average $(cut -d' ' -f1-3 /proc/loadavg)"
done
