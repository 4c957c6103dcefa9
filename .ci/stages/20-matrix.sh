#!/usr/bin/env bash
# Interpreter and NumPy matrix, which is also the wheel check.
#
# For every entry below: `pip wheel` builds a wheel from this checkout with that
# interpreter (once per interpreter: entries of one interpreter with different
# NumPy versions install the same wheel, as users do), the wheel is installed
# with its test extra into a fresh virtual environment together with that
# NumPy, and the whole Python test suite runs, on every core (pytest-xdist),
# from a copy of tests/, examples/, docs/ and the top-level pages outside the
# source tree, so that the module and its type stubs can only come from
# site-packages.
#
#   bash .ci/stages/20-matrix.sh                   # every entry
#   bash .ci/stages/20-matrix.sh 3.13.0 'numpy>=2,<3'   # one entry
set -euo pipefail

matrix=(
  "3.11.7 numpy>=2,<3"
  "3.12.1 numpy>=2,<3"
  "3.13.0 numpy>=2,<3"
  "3.12.1 numpy>=1.26,<1.27"
)

script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"

# One entry, run in its own bash so that `set -e` holds throughout.
run_entry() {
  local version="$1" numpy_spec="$2" work="$3"
  local python="$pyenv_root/versions/$version/bin/python"
  local tag="py$version-$(tr -c 'a-z0-9.\n' '_' <<<"$numpy_spec")"
  # pip builds against NumPy 2 (the build requirement) whatever the entry's NumPy,
  # so one wheel per interpreter serves every entry of that interpreter.
  local venv="$work/venv-$tag" dist="$work/dist-py$version" suite="$work/suite-$tag"
  local jobs
  jobs="$(nproc 2>/dev/null || echo 2)"
  if [ ! -x "$python" ]; then
    echo "no interpreter at $python" >&2
    return 1
  fi

  "$python" -m venv "$venv"
  local py="$venv/bin/python"
  local wheel
  if wheel="$(ls "$dist"/corvane-*.whl 2>/dev/null)"; then
    echo "reusing $(basename "$wheel"), built for an earlier entry of Python $version"
  else
    "$py" -m pip wheel -q --no-deps -w "$dist" "$source_dir"
    wheel="$(ls "$dist"/corvane-*.whl)"
    echo "built $(basename "$wheel")"
  fi
  # The wheel holds the extension at top level and the stub package beside it.
  "$py" - "$wheel" <<'EOF'
import sys, sysconfig, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
suffix = sysconfig.get_config_var("EXT_SUFFIX")
missing = [n for n in ("corvane" + suffix, "corvane-stubs/__init__.pyi") if n not in names]
if missing:
    sys.exit(f"wheel lacks {missing}; it holds {names}")
EOF

  "$py" -m pip install -q "$wheel[test]" "$numpy_spec"

  mkdir -p "$suite/tests"
  cp -r "$source_dir/tests/python" "$suite/tests/python"
  cp -r "$source_dir/examples" "$suite/examples"
  # The pages whose code blocks the suite runs (tests/python/test_docs.py).
  cp -r "$source_dir/docs" "$suite/docs"
  cp "$source_dir"/{README,RELEASING,CHANGELOG}.md "$suite/"
  cd "$suite"
  export PYTHONNOUSERSITE=1
  unset PYTHONPATH
  "$py" - <<'EOF'
import sys, sysconfig
from pathlib import Path
import corvane, numpy
site = Path(sysconfig.get_paths()["platlib"])
module = Path(corvane.__file__)
if module.parent != site or not (site / "corvane-stubs" / "__init__.pyi").is_file():
    sys.exit(f"corvane from {module}, expected it and its stubs in {site}")
print(f"Python {sys.version.split()[0]}, NumPy {numpy.__version__}, corvane from {module}")
EOF
  "$py" -m pytest -q -p no:cacheprovider -n "$jobs" --rootdir "$suite" tests/python
}

if [ "${1:-}" = "--entry" ]; then
  shift
  run_entry "$@"
  exit
fi

if [ $# -gt 0 ]; then
  matrix=("$*")
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/corvane-matrix.XXXXXX")"
trap 'rm -rf "$work"' EXIT

summary=()
failed=0
for entry in "${matrix[@]}"; do
  read -r version numpy_spec <<<"$entry"
  echo "=== matrix: Python $version with $numpy_spec"
  start=$SECONDS
  if bash "$script" --entry "$version" "$numpy_spec" "$work"; then
    result=passed
  else
    result=FAILED
    failed=1
  fi
  summary+=("$(printf '%-8s %-22s %-7s %4d s' "$version" "$numpy_spec" "$result" $((SECONDS - start)))")
done

echo "=== matrix summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
