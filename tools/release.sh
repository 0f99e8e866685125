#!/usr/bin/env bash
# Makes the release files of the commit checked out (HEAD), in dist/ or the folder given:
#
#   Dravik-VERSION-win32.zip   the shipped 32-bit Dravik.exe, README.txt (the user guide in
#   Dravik-VERSION-win64.zip   Japanese, UTF-8 with BOM and CR LF) and LICENSE.txt
#   dravik_VERSION_ARCH.deb    /usr/bin/dravik, the manual page dravik(1), copyright, changelog
#   SHA256SUMS                 of the three
#
# VERSION is the one in project() of CMakeLists.txt. Only what is committed goes in: HEAD is
# exported to a temporary folder and built there. The files are reproducible: the same
# commit gives the same bytes in any folder, at any time, under any time zone or umask
# (SOURCE_DATE_EPOCH is the commit's time; build paths are mapped away; archives list their
# files in a fixed order with fixed times, owners and modes).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
tools/install-deps.sh --release

commit=$(git rev-parse --verify HEAD)
if [[ -n "$(git status --porcelain --untracked-files=no)" ]]; then
  echo "release: uncommitted changes are left out; the release is made of $commit" >&2
fi
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export TZ=UTC LC_ALL=C.UTF-8
umask 022

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src
mkdir "$src" "$work/dist"
git archive "$commit" | tar -x -C "$src"
cd "$src"

version=$(sed -n 's/^project(Dravik VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || { echo "release: no version in project() of CMakeLists.txt" >&2; exit 1; }
logged=$(dpkg-parsechangelog -l packaging/changelog -S Version)
if [[ "$logged" != "$version" ]]; then
  echo "release: packaging/changelog's last entry is $logged, not $version: add one" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
echo "release: Dravik $version of $commit" >&2

# Builds. No path of this temporary folder may reach a binary.
jobs=$(nproc)
map="-ffile-prefix-map=$src=."
for target in win32 win64; do
  cmake --preset "$target" -DCMAKE_CXX_FLAGS="$map" -DCMAKE_EXE_LINKER_FLAGS=-s >/dev/null
  cmake --build --preset "$target" -j "$jobs" >/dev/null
done
# Debian's hardening flags for the package.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake --preset native -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS) $map" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build --preset native -j "$jobs" --target dravik >/dev/null

fill() {
  sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$(date -d "@$SOURCE_DATE_EPOCH" +%F)/g" "$@"
}
crlf() { sed 's/$/\r/'; }
# Every file and folder under $1 gets the commit's time.
settle() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

# The zips: what Notepad on a Japanese Windows opens correctly, stored without extra attributes.
for target in win32 win64; do
  zipped=$work/$target
  mkdir "$zipped"
  cp "build/$target/Dravik.exe" "$zipped/"
  { printf '\357\273\277'; fill packaging/README-ja.txt | crlf; } >"$zipped/README.txt"
  crlf <LICENSE >"$zipped/LICENSE.txt"
  chmod 644 "$zipped"/*
  settle "$zipped"
  zip="$work/dist/Dravik-$version-$target.zip"
  (cd "$zipped" && zip -q -X -9 "$zip" Dravik.exe README.txt LICENSE.txt)
  strip-nondeterminism -t zip -T "$SOURCE_DATE_EPOCH" "$zip"
done

# The package, laid out as Debian's policy asks.
deb=$work/deb
install -d "$deb/DEBIAN" "$deb/usr/bin" "$deb/usr/share/man/man1" "$deb/usr/share/doc/dravik"
install -m 755 build/native/dravik "$deb/usr/bin/dravik"
strip --remove-section=.comment --remove-section=.note "$deb/usr/bin/dravik"
fill packaging/dravik.1 | gzip -9n >"$deb/usr/share/man/man1/dravik.1.gz"
gzip -9n <packaging/changelog >"$deb/usr/share/doc/dravik/changelog.gz"
{
  echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Upstream-Name: Dravik"
  echo
  echo "Files: *"
  echo "Copyright: 2026 the Dravik authors"
  echo "License: Expat"
  sed -n '/^Permission/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
} >"$deb/usr/share/doc/dravik/copyright"
chmod 644 "$deb/usr/share/man/man1/dravik.1.gz" "$deb/usr/share/doc/dravik"/*
# Depends: the C library's version that the program's symbols need, as dpkg-shlibdeps finds it.
mkdir -p "$work/shlibs/debian"
printf 'Source: dravik\n\nPackage: dravik\nArchitecture: any\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O -e"$deb/usr/bin/dravik" | sed -n 's/^shlibs:Depends=//p')
# Installed-Size as dpkg-gencontrol counts it: KiB per file, rounded up, and one per folder.
size=$(find "$deb/usr" \( -type f -printf '%s\n' \) -o \( -type d -printf '1024\n' \) |
       awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
fill packaging/control | sed -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@INSTALLED_SIZE@/$size/" >"$deb/DEBIAN/control"
(cd "$deb" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$deb/DEBIAN/md5sums"
chmod 644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
settle "$deb"
package="$work/dist/dravik_${version}_$arch.deb"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$package" >/dev/null

# A package that lintian finds in error is no release.
lintian --fail-on error --tag-display-limit 0 "$package" 2>&1 |
  { grep -v '^running with root privileges' || true; } >&2
echo "release: lintian finds no error in ${package##*/}" >&2

cd "$work/dist"
sha256sum "Dravik-$version-win32.zip" "Dravik-$version-win64.zip" "${package##*/}" >SHA256SUMS
mkdir -p "$out"
rm -f "$out"/Dravik-*-win32.zip "$out"/Dravik-*-win64.zip "$out"/dravik_*.deb "$out/SHA256SUMS"
mv ./* "$out/"
(cd "$out" && cat SHA256SUMS)
