#!/usr/bin/env bash
# Runs the end-to-end tests on a Windows exe under the Wine of ROOT (tools/wine-root.sh). The
# 32-bit exe's tests run only where the machine runs 32-bit code (tools/probe-win32.sh); elsewhere
# they are skipped with the reason, which goes to $DRAVIK_SKIPS for tools/test.sh to list, and the
# exit code is 77, which ctest counts as a skip.
#
#   tools/e2e-wine.sh ROOT EXE
set -euo pipefail
root=$1
exe=$2
source=$(cd "$(dirname "$0")/.." && pwd)
build=$(basename "$(dirname "$exe")")  # win32 or win64
if [[ $build == win32 ]] && ! reason=$("$source/tools/probe-win32.sh" "$root"); then
  echo "e2e_win32 skipped: $reason" >&2
  if [[ -n ${DRAVIK_SKIPS:-} ]]; then echo "e2e_win32: $reason" >>"$DRAVIK_SKIPS"; fi
  exit 77
fi
folders=("$source" "$(dirname "$exe")")
if [[ -n ${DRAVIK_SKIPS:-} ]]; then folders+=("$(dirname "$DRAVIK_SKIPS")"); fi
exec "$source/tools/wine-root.sh" run "$root" "${folders[@]}" -- env DRAVIK_EXE="$exe" \
  DRAVIK_TARGET=wine DRAVIK_SKIPS="${DRAVIK_SKIPS:-}" \
  python3 -m unittest discover -s "$source/tests/e2e" -p "test_*.py" -v
