#!/usr/bin/env bash
# Installs what the tests need and is missing, then runs the native GoogleTest
# suite and the Python test suite.
#
#   bash tests/run_tests.sh            (PYTHON=... picks the interpreter, default python3)
#
# - corvane is (re)built from this working tree and installed with its `test`
#   extra into the interpreter that runs the tests; dependencies already there
#   are kept. The one CMake build that makes the module also makes the native
#   tests (in $BUILD_DIR, default build/tests-<interpreter>, kept for the next
#   run), so the sources are compiled once.
# - CMake and Ninja come from PyPI when they are not on PATH.
# - GoogleTest comes from apt-get when it is missing and this is root;
#   otherwise the script stops and names the command to run.
# - The Python tests run on every core (pytest-xdist), without those marked
#   slow: .ci/stages/06-slow.sh runs those.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${PYTHON:-python3}"
build_dir="${BUILD_DIR:-build/tests-$("$python" -c 'import sys; print(sys.implementation.cache_tag)')}"
jobs="$(nproc 2>/dev/null || echo 2)"

step() { echo "=== $*"; }

if ! echo '#include <gtest/gtest.h>' | "${CXX:-c++}" -x c++ -fsyntax-only - 2>/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    step "installing GoogleTest (libgtest-dev)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
  else
    echo "GoogleTest is missing. Install it, then run this script again:" >&2
    echo "    sudo apt-get install -y libgtest-dev" >&2
    exit 1
  fi
fi

scripts="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"
export PATH="$scripts:$PATH"
if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
  step "installing CMake and Ninja from PyPI"
  "$python" -m pip install -q cmake ninja
fi

step "building corvane and its native tests, installing it and its test extra into" \
  "$("$python" -c 'import sys; print(sys.executable)')"
CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$python" -m pip install -q ".[test]" \
  --config-settings=build-dir="$build_dir" --config-settings=cmake.define.CORVANE_BUILD_TESTS=ON

step "native tests"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

step "Python tests"
# Run from outside the source tree so that only the installed module is seen.
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider -n "$jobs" -m "not slow" .)
# The benchmark runner's own logic (nothing is timed).
"$python" -m pytest -q -p no:cacheprovider benchmarks/test_run.py
