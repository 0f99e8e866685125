#!/usr/bin/env bash
# Installs what building and testing Dravik needs on a fresh Debian machine.
#   tools/install-deps.sh          the native build only
#   tools/install-deps.sh --all    also the Windows cross-compilers, debootstrap (for the root
#                                  whose Wine runs the Windows exes), clang and Python
set -euo pipefail

packages=(cmake ninja-build g++ make)
if [[ "${1:-}" == "--all" ]]; then
  packages+=(libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 dosfstools
             debootstrap mount clang libclang-rt-14-dev python3 hyperfine time xfsprogs)
fi

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

