#!/usr/bin/env bash
# Checks that the Windows exes are self-contained: they import only system DLLs.
set -euo pipefail
system_dlls='^(kernel32|user32|msvcrt|advapi32|ntdll|api-ms-win-.*)\.dll$'
for exe in "$@"; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  bad=$(echo "$imports" | grep -viE "$system_dlls" || true)
  if [[ -n "$bad" ]]; then
    echo "$exe imports non-system DLLs: $bad" >&2
    exit 1
  fi
  echo "$exe imports only: $(echo $imports)"
done
