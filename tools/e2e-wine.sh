#!/usr/bin/env bash
# Runs the end-to-end tests on a Windows exe (in a folder named win32 or win64) under the Wine of
# ROOT (tools/debian-root.sh). The 32-bit exe's tests run only where the machine runs 32-bit code
# (tools/probe-win32.sh); elsewhere they are skipped with the reason, and the exit code is 77,
# which ctest counts as a skip.
#
#   tools/e2e-wine.sh ROOT EXE
#
# $DRAVIK_PRELOAD (tests/e2e/Preload.cpp, built natively) is preloaded into Wine where a test asks.
set -euo pipefail
root=$1
exe=$2
tools=$(dirname "$(realpath "$0")")
if [[ $(basename "$(dirname "$exe")") == win32 ]] && ! reason=$("$tools/probe-win32.sh" "$root"); then
  "$tools/skip.sh" "the end-to-end tests of $exe" "$reason"
  exit 77
fi
folders=("$(dirname "$tools")" "$(dirname "$exe")")
if [[ -n ${DRAVIK_SKIPS:-} ]]; then folders+=("$(dirname "$DRAVIK_SKIPS")"); fi
if [[ -n ${DRAVIK_PRELOAD:-} ]]; then folders+=("$(dirname "$DRAVIK_PRELOAD")"); fi
exec "$tools/debian-root.sh" run "$root" "${folders[@]}" -- env DRAVIK_EXE="$exe" \
  DRAVIK_TARGET=wine DRAVIK_SKIPS="${DRAVIK_SKIPS:-}" DRAVIK_PRELOAD="${DRAVIK_PRELOAD:-}" \
  python3 -m unittest discover -s "$(dirname "$tools")/tests/e2e" -p "test_*.py" -v
