#!/usr/bin/env bash
# Tells whether 32-bit Windows programs run on this machine under the Wine of ROOT (made by
# tools/debian-root.sh): builds `int main(void) { return 7; }` with the 32-bit exe's toolchain
# and runs it there. Exits 0 when it ran and returned 7; otherwise prints the reason on one
# line of standard output and exits 1. Some machines run no 32-bit code at all (a kernel or
# hypervisor without 32-bit emulation): there every 32-bit program dies at its start.
#
#   tools/probe-win32.sh ROOT
set -euo pipefail
root=${1:?usage: tools/probe-win32.sh ROOT}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo 'int main(void) { return 7; }' >"$work/probe.c"
if ! i686-w64-mingw32-gcc-posix -o "$work/probe.exe" "$work/probe.c" 2>"$work/log"; then
  echo "a 32-bit probe exe does not build: $(head -n 1 "$work/log")"
  exit 1
fi
status=0
"$(dirname "$0")/debian-root.sh" run "$root" "$work" -- env WINEPREFIX="$work/prefix" \
  sh -c 'exec "$WINE" "$0"' "$work/probe.exe" >/dev/null 2>"$work/log" || status=$?
case $status in
  7) exit 0 ;;
  139) echo "a 32-bit exe that only returns 7 dies of SIGSEGV at its start under Wine:" \
            "this machine runs no 32-bit code" ;;
  *) echo "a 32-bit exe that only returns 7 ends with status $status under Wine" \
          "($(grep -v '^$' "$work/log" | tail -n 1))" ;;
esac
exit 1
