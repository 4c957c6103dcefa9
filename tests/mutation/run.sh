#!/usr/bin/env bash
# Runs deliberate faults against the test suites; see mutants.py. Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/../.."
exec "${PYTHON:-python3}" tests/mutation/mutants.py "$@"
