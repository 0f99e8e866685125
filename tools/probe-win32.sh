#!/usr/bin/env bash
# Tells whether this machine runs 32-bit Windows code under the Wine of ROOT (tools/wine-root.sh):
# builds a trivial 32-bit exe with the toolchain of the 32-bit build and runs it. Exits 0 when it
# returns 7; otherwise prints why not and exits 1. Some kernels run no 32-bit code at all (32-bit
# emulation switched off): there every 32-bit program dies at start, Wine's own included.
#
#   tools/probe-win32.sh ROOT
set -euo pipefail
root=$1
tools=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'int main(void) { return 7; }\n' >"$work/probe.c"
i686-w64-mingw32-gcc-posix -o "$work/probe.exe" "$work/probe.c"
status=0
"$tools/wine-root.sh" run "$root" "$work" -- /bin/sh -c 'unset TMPDIR; cd "$1" &&
  WINEPREFIX="$1/prefix" WINEDEBUG=-all /usr/lib/x86_64-linux-gnu/wine/wine probe.exe' \
  sh "$work" >/dev/null 2>&1 || status=$?
if ((status != 7)); then
  echo "this machine runs no 32-bit Windows code: a trivial 32-bit exe under Wine exited with" \
       "$status, not 7"
  exit 1
fi
