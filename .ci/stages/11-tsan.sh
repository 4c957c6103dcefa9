#!/usr/bin/env bash
# ThreadSanitizer.
#
# Builds the native tests with -fsanitize=thread and the debug checks
# (CORVANE_CHECKS=ON) in their own build directory and runs all of them: the
# worker pool's own tests, and whole solves whose batches of constructions run
# on the pool, also from several threads at once
# (tests/native/solvers/solver_batches_test.cpp). A report makes the test
# process exit with 66 (and halt_on_error stops at the first), which fails
# the stage; a canary first shows that a data race is reported.
#
#   bash .ci/stages/11-tsan.sh        (TSAN_BUILD_DIR overrides the build directory)
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir="${TSAN_BUILD_DIR:-build/ci-tsan}"
jobs="$(nproc 2>/dev/null || echo 2)"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=thread \
  -DCORVANE_CHECKS=ON -DCORVANE_BUILD_TESTS=ON
cmake --build "$build_dir" -j "$jobs"

# atexit_sleep_ms=0: by default every process that exits sleeps a second first (for
# threads still running to report), and the allocation-failure tests fork a child per
# failure point, about 500 of them: 10 minutes of sleeping. The pool's threads are idle
# by the time a process exits, and every race these tests look for happens while they run.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0"

echo "--- canary: a data race must be reported"
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/race.cpp" <<'EOF'
#include <thread>
int counter = 0;
int main() {
  std::thread other([] { ++counter; });
  ++counter;
  other.join();
  return 0;
}
EOF
"$compiler" -fsanitize=thread -g -O1 -pthread -o "$scratch/race" "$scratch/race.cpp"
if "$scratch/race" >"$scratch/race.log" 2>&1 || ! grep -q "data race" "$scratch/race.log"; then
  cat "$scratch/race.log" >&2
  echo "ThreadSanitizer did not report the canary's data race" >&2
  exit 1
fi
echo "canary 'data race': reported"

echo "--- native tests under TSan"
# The construction differentials build on one thread and never touch the pool: TSan has
# nothing to watch in them, and they are a third of the stage's time. They run in every
# other build (plain, ASan + UBSan).
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" -E '^(Families/)?ConstructionEquivalence[.]'

