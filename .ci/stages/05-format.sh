#!/usr/bin/env bash
# Layout: every C++ file under src/, tests/native/ and benchmarks/ must be as
# clang-format leaves it with the settings in .clang-format. The formatter is
# the version pinned below, from PyPI, in a virtual environment of its own.
#
#   bash .ci/stages/05-format.sh          check; lists every place that differs
#   bash .ci/stages/05-format.sh --fix    format those files in place
#
# FORMAT_VENV overrides where the environment is kept (build/ci-format-venv).
set -euo pipefail
cd "$(dirname "$0")/../.."

version=18.1.8
venv="${FORMAT_VENV:-build/ci-format-venv}"
formatter="$venv/bin/clang-format"
if ! { [ -x "$formatter" ] && "$formatter" --version | grep -q "version $version"; }; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q "clang-format==$version"
fi

mapfile -t files < <(git ls-files -- 'src/*.h' 'src/*.cpp' 'tests/native/*.h' 'tests/native/*.cpp' \
  'benchmarks/*.h' 'benchmarks/*.cpp')
if [ "${1:-}" = "--fix" ]; then
  "$formatter" -i "${files[@]}"
  exit
fi
"$formatter" --dry-run --Werror "${files[@]}"
echo "${#files[@]} C++ files formatted as .clang-format says"
