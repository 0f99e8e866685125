#!/usr/bin/env bash
# Installs what building and testing Dravik needs on a fresh Debian machine.
#   tools/install-deps.sh          the native build only
#   tools/install-deps.sh --release    also the Windows cross-compilers and the packaging tools
#                                      of tools/release.sh
#   tools/install-deps.sh --all    all of that, and debootstrap (for the roots whose Wine runs
#                                  the Windows exes and where the package is installed), clang,
#                                  Python and the tools that check a release
set -euo pipefail

packages=(cmake ninja-build g++ make)
release=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 git zip dpkg-dev lintian
         strip-nondeterminism)
case "${1:-}" in
  --release) packages+=("${release[@]}") ;;
  --all) packages+=("${release[@]}" libgtest-dev debootstrap mount clang libclang-rt-14-dev python3
                    hyperfine time xfsprogs dosfstools unzip man-db diffoscope-minimal libimage-exiftool-perl) ;;
esac

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

