#!/usr/bin/env bash
# Runs the native GoogleTest suite and the Python test suite.
# The Python tests import the installed corvane (pip install ".[test]").
set -euo pipefail
cd "$(dirname "$0")/.."

python="${PYTHON:-python3}"
build_dir="${BUILD_DIR:-build/native}"
jobs="$(nproc 2>/dev/null || echo 2)"

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

# Run from outside the source tree so that only the installed module is seen.
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider .)
