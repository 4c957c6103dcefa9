#!/usr/bin/env bash
# Release check: builds what a release publishes and tests it the way a user
# gets it.
#
#  1. cibuildwheel's configuration, offline: it selects exactly the CPython
#     3.11-3.13 manylinux builds for x86_64 and aarch64 that the hosted
#     workflow (.github/workflows/release.yml) builds.
#  2. `python -m build`: the sdist, then the wheel built from that sdist;
#     `twine check --strict` on both; the sdist holds LICENSE.
#  3. `auditwheel repair`, then .ci/check_wheel.py on the repaired wheel: a
#     manylinux_* tag (this machine's glibc decides which; the hosted workflow
#     builds manylinux_2_28 in its containers), LICENSE in .dist-info, nothing
#     grafted, and `auditwheel show` naming only glibc's libraries and libgcc_s.
#  4. The repaired wheel with its test extra, installed from wheels only into a
#     fresh virtual environment where no compiler can be reached (PATH holds
#     the environment's own scripts and the few programs the tests run;
#     CC=/bin/false CXX=/bin/false), and the Python suite run from a copy of
#     tests/python outside the source tree, so that only the installed package
#     can be imported, on every core (pytest-xdist). Tests that need the
#     checkout (the examples, the changelog) skip there, and the summary names
#     them.
#  5. The sdist installed into another fresh environment, built from source,
#     then imported and solving from an empty directory.
#
# The tools, pinned in .ci/release-tools.txt, come from PyPI into an
# environment of the stage's own, and everything is built in a temporary
# directory. On two cores it takes about 3 minutes with pip's cache filled and
# about 5 with it empty (the downloads) on a busy machine; the Python suite is
# 1 to 1.5 minutes of that.
#
#   bash .ci/stages/30-release.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir="$PWD"
start=$SECONDS

python="$(python3 -c 'import sys; print(sys.executable)')"  # the interpreter itself, not a shell shim
work="$(mktemp -d "${TMPDIR:-/tmp}/corvane-release.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONNOUSERSITE=1
unset PYTHONPATH

step() { echo "--- $*"; }
fail() {
  echo "release check failed: $*" >&2
  exit 1
}

step "release tools"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q -r .ci/release-tools.txt
tools_path="$work/tools/bin:$PATH"

step "cibuildwheel's builds"
expected="$(printf '%s\n' cp311-manylinux_x86_64 cp312-manylinux_x86_64 cp313-manylinux_x86_64 \
  cp311-manylinux_aarch64 cp312-manylinux_aarch64 cp313-manylinux_aarch64)"
identifiers="$(PATH="$tools_path" cibuildwheel --print-build-identifiers --platform linux)"
echo "$identifiers"
[ "$identifiers" = "$expected" ] || fail "cibuildwheel selects other builds than:"$'\n'"$expected"

step "sdist and wheel"
PATH="$tools_path" python -m build --outdir "$work/dist" "$source_dir" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "python -m build"; }
sdist="$(ls "$work"/dist/corvane-*.tar.gz)"
wheel="$(ls "$work"/dist/corvane-*.whl)"
PATH="$tools_path" twine check --strict "$sdist" "$wheel"
tar -tzf "$sdist" | grep -x 'corvane-[^/]*/LICENSE' >/dev/null || fail "no LICENSE in $(basename "$sdist")"

step "repaired wheel"
PATH="$tools_path" auditwheel repair --wheel-dir "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 ||
  { cat "$work/repair.log" >&2; fail "auditwheel repair"; }
repaired="$(ls "$work"/wheelhouse/corvane-*.whl)"
PATH="$tools_path" auditwheel show "$repaired"
PATH="$tools_path" python .ci/check_wheel.py "$repaired"

step "the repaired wheel, installed where no compiler can be reached"
"$python" -m venv "$work/user"
py="$work/user/bin/python"
# The only programs on PATH: the environment's own scripts and what the tests
# run besides the interpreter. A test that runs another program fails with
# "not found" until it is added here.
mkdir "$work/no-compiler"
for program in sh sleep date; do
  ln -s "$(command -v "$program")" "$work/no-compiler/$program"
done
no_compiler=(env PATH="$work/user/bin:$work/no-compiler" CC=/bin/false CXX=/bin/false)
for compiler in cc c++ gcc g++ clang clang++ c89 c99 cpp ld; do
  if "${no_compiler[@]}" sh -c "command -v $compiler" >/dev/null; then
    fail "$compiler is reachable"
  fi
done
"${no_compiler[@]}" "$py" -m pip install -q --only-binary :all: "${repaired}[test]"
mkdir -p "$work/suite/tests"
cp -r tests/python "$work/suite/tests/python"
(
  cd "$work/suite"
  "${no_compiler[@]}" "$py" -c 'import sys, corvane
if not corvane.__file__.startswith(sys.prefix + "/"):
    sys.exit(f"corvane from {corvane.__file__}, not from {sys.prefix}")
print(f"corvane from {corvane.__file__}")'
  "${no_compiler[@]}" "$py" -m pytest -q -p no:cacheprovider -rs -n "$(nproc 2>/dev/null || echo 2)" \
    --rootdir "$work/suite" tests/python
)

step "the sdist, installed from source"
"$python" -m venv "$work/from-sdist"
"$work/from-sdist/bin/python" -m pip install -q "$sdist"
mkdir "$work/empty"
(
  cd "$work/empty"
  "$work/from-sdist/bin/python" - <<'EOF'
import importlib.metadata
import sys

import numpy as np

import corvane

if not corvane.__file__.startswith(sys.prefix + "/"):
    sys.exit(f"corvane from {corvane.__file__}, not from {sys.prefix}")
task = corvane.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 3, np.zeros((2, 3)))
x, value = corvane.ProbabilisticAssignmentSolver(kmax=10).solve(task)
if int(x.sum()) != 3 or value != 3.0:
    sys.exit(f"solved {x.tolist()} with value {value}, expected three cells of value 1")
print(f"corvane {importlib.metadata.version('corvane')} from the sdist solves")
EOF
)

step "release check passed in $((SECONDS - start)) s"
for artifact in "$sdist" "$repaired"; do
  echo "  $(basename "$artifact")  $(stat -c %s "$artifact") bytes"
done
