#!/usr/bin/env bash
# Installs what building and testing Dravik needs on a fresh Debian machine.
#   tools/install-deps.sh          the native build only
#   tools/install-deps.sh --all    also the Windows cross-compilers, Wine, clang and Python
set -euo pipefail

packages=(cmake ninja-build g++ make)
if [[ "${1:-}" == "--all" ]]; then
  packages+=(libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
             wine64 wine locales clang libclang-rt-14-dev python3 hyperfine time xfsprogs)
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

if [[ "${1:-}" == "--all" ]] && ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  # Wine takes code page 932 from this locale; it also converts Japanese file names with it.
  as_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen
fi
