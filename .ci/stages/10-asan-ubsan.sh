#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer.
#
# Builds the extension module and the native tests, in their own build
# directory, with
#   -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all
#   -D_GLIBCXX_ASSERTIONS (bounds checks in the standard containers)
#   CORVANE_CHECKS=ON (our own debug checks, src/runtime/check.h, in the module too)
# runs the GoogleTest suite, then the whole pytest suite, on every core
# (pytest-xdist), in an interpreter with the sanitizer runtimes preloaded (its
# xdist workers and every process the tests start inherit LD_PRELOAD and the
# options below). Any report fails the stage:
#   UBSan  every check aborts the process (no recovery; halt_on_error=1 too);
#   ASan   the first error ends the process (its default);
#   LSan   runs when each process exits (xdist workers and forked children
#          that exit normally included) and makes the exit status non-zero on a
#          leak.
# An xdist worker is ended by its controller before LeakSanitizer's check at
# exit runs (and pytest would not see its exit status): tests/python/conftest.py
# makes each worker check for leaks when its tests are done. Neither that
# report nor one from a child process that a test started reaches pytest's
# result, so during the suite every report is also written to a file of its
# own (log_path) and the stage fails when any such file exists. Before the suite, three canaries show that
# each kind of report does fail, and a fourth that a leak in an xdist worker
# is caught.
#
# Run-time settings, and why:
#   PYTHONMALLOC=malloc          Python objects become ordinary heap blocks: ASan
#                                then catches a use-after-free of an object whose
#                                reference count went wrong, and LSan can scan them
#                                (pymalloc's arenas hide both).
#   intercept_tls_get_addr=0     GCC 12's runtime misreads, on this glibc, the
#                                dynamic TLS that threads get for a dlopen'd module
#                                with thread_local data, and LSan's tracer crashes
#                                at exit. Off, those TLS blocks are scanned as the
#                                ordinary heap blocks that glibc allocates for them.
#   allocator_may_return_null=1  malloc fails with null, as without ASan. ASan's
#                                operator new still cannot throw std::bad_alloc, so
#                                under ASan the Python tests use only sizes that corvane
#                                refuses before allocating (tests/python/boundary_model.py);
#                                the native allocation-failure tests replace operator new
#                                with one that decides failures itself and throws
#                                (tests/native/failures/).
#   detect_stack_use_after_return=1, check_initialization_order=1, strict_init_order=1
#                                extra checks that cost little here.
#   LSAN suppressions            .ci/sanitizers/lsan.supp: what CPython, NumPy, SciPy
#                                and mypy keep allocated until exit (each entry is
#                                explained there, with where it shows without corvane).
#
# The interpreter (PYTHON, default python3) needs the test extra, pytest-xdist
# included: bash tests/run_tests.sh installs it.
#
#   bash .ci/stages/10-asan-ubsan.sh        (ASAN_BUILD_DIR overrides the build directory)
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"

# The interpreter itself, not a shell shim.
python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')"
if ! "$python" -c "import xdist, hypothesis" 2>/dev/null; then
  echo "pytest-xdist and hypothesis are not installed in $python: run bash tests/run_tests.sh first" >&2
  exit 1
fi
build_dir="${ASAN_BUILD_DIR:-build/ci-asan-ubsan}"
jobs="$(nproc 2>/dev/null || echo 2)"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
flags="-fno-sanitize-recover=all -D_GLIBCXX_ASSERTIONS"

cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_SANITIZE=address,undefined,float-cast-overflow -DCMAKE_CXX_FLAGS="$flags" -DCORVANE_CHECKS=ON \
  -DCORVANE_BUILD_MODULE=ON -DCORVANE_BUILD_TESTS=ON -DPython_EXECUTABLE="$python"
cmake --build "$build_dir" -j "$jobs"
build_dir="$(cd "$build_dir" && pwd)"

compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
runtimes="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libubsan.so)"
for runtime in $runtimes; do
  [ -f "$runtime" ] || { echo "sanitizer runtime not found: $runtime (only GCC is set up here)" >&2; exit 1; }
done

export ASAN_OPTIONS="detect_leaks=1:intercept_tls_get_addr=0:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$root/.ci/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

sanitized_python() {
  env LD_PRELOAD="$runtimes" PYTHONMALLOC=malloc PYTHONPATH="$build_dir${PYTHONPATH:+:$PYTHONPATH}" "$python" "$@"
}

echo "--- native tests under ASan + UBSan"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"

echo "--- canaries: each kind of report must fail"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
expect_report() {  # expect_report NAME PATTERN COMMAND...: the command must fail and print PATTERN
  local name="$1" pattern="$2"
  shift 2
  if "$@" >"$scratch/$name.log" 2>&1; then
    echo "canary '$name' ran without a report" >&2
    exit 1
  fi
  grep -q -- "$pattern" "$scratch/$name.log" || { cat "$scratch/$name.log" >&2; echo "canary '$name' failed otherwise" >&2; exit 1; }
  echo "canary '$name': reported"
}
cat >"$scratch/ub.cpp" <<'EOF'
#include <climits>
int main(int argc, char**) {
  double huge = 1e300 * argc;
  long wrapped = static_cast<long>(huge);  // float-cast-overflow
  int sum = INT_MAX;
  sum += argc;                             // signed overflow
  return static_cast<int>(wrapped) + sum;
}
EOF
"$compiler" -fsanitize=address,undefined,float-cast-overflow $flags -o "$scratch/ub" "$scratch/ub.cpp"
expect_report undefined-behaviour "runtime error" "$scratch/ub"
cat >"$scratch/leak.py" <<'EOF'
import ctypes
import numpy as np
import corvane
task = corvane.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 3, np.zeros((2, 3)))
ctypes.pythonapi.Py_IncRef(ctypes.py_object(task))  # the task and its matrices are never freed
EOF
expect_report leaked-task "copy_matrix" sanitized_python "$scratch/leak.py"
cat >"$scratch/uaf.py" <<'EOF'
import ctypes
import numpy as np
import corvane
task = corvane.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 3, np.zeros((2, 3)))
ctypes.pythonapi.Py_DecRef(ctypes.py_object(task))  # freed while still referenced
corvane.ProbabilisticAssignmentSolver(3).solve(task)  # corvane reads the freed object
EOF
expect_report freed-object "heap-use-after-free" sanitized_python "$scratch/uaf.py"

# Reports of the processes that follow go to files as well:
# REPORTS/report.PROGRAM.PID. Only the interpreter's count: other programs that
# the tests run (git) inherit the preloaded runtimes, and LeakSanitizer reports
# their own leaks; warnings without an error do not count either.
reports="$scratch/reports"
mkdir "$reports"
export ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/report:log_exe_name=1"
export UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/report:log_exe_name=1"
check_reports() {  # check_reports WHAT: fails, showing them, when the interpreter reported an error
  local found
  found="$(grep -l -E "ERROR: |runtime error" "$reports"/report.python* 2>/dev/null || true)"
  if [ -n "$found" ]; then
    cat $found >&2
    echo "$1: sanitizer reports above" >&2
    exit 1
  fi
  if compgen -G "$reports/report.*" >/dev/null; then
    echo "not counted (another program's report, or a warning):"
    cat "$reports"/report.*
  fi
}
mkdir "$scratch/worker-canary"
cp tests/python/conftest.py tests/python/support.py "$scratch/worker-canary/"  # the suite's own worker check
cat >"$scratch/worker-canary/test_leak.py" <<'EOF'
import ctypes
import numpy as np
import corvane
def test_leaks_a_task():
    task = corvane.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 3, np.zeros((2, 3)))
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(task))
EOF
(cd "$scratch/worker-canary" && sanitized_python -m pytest -q -p no:cacheprovider -n 2 test_leak.py >"$scratch/worker.log" 2>&1) || true
if ! grep -qs "copy_matrix" "$reports"/report.python*; then
  cat "$scratch/worker.log" >&2
  echo "canary 'leak in an xdist worker' was not reported" >&2
  exit 1
fi
echo "canary 'leak in an xdist worker': reported"
rm -f "$reports"/report.*

echo "--- Python tests under ASan + UBSan"
sanitized_python -c "import corvane, sys; assert corvane.__file__.startswith(sys.argv[1]), corvane.__file__" \
  "$build_dir"
status=0
(cd tests/python && sanitized_python -m pytest -q -p no:cacheprovider -n "$jobs" .) || status=$?
check_reports "Python tests"
exit "$status"
