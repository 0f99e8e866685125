#!/usr/bin/env bash
# Checks the release files of the commit checked out, as their users get them:
#  - tools/release.sh runs twice, here and in a clone of the commit in another folder, later,
#    under another time zone and umask: both must give the same bytes (diffoscope shows what
#    differs when they do not);
#  - the files' names and sums; in each zip the guide and the licence as Notepad wants them
#    (UTF-8 with BOM, CR LF), the version in the exe's version resource, only system DLLs
#    imported; the manual page rendered by man without a warning;
#  - the package installed into a fresh copy of a minimal Debian root of this machine's release
#    (tools/debian-root.sh, made once per machine in /var/cache/dravik-deb-root or
#    $DRAVIK_DEB_ROOT), the end-to-end tests run on the installed dravik, the package purged;
#  - the end-to-end tests on each zip's exe, unpacked, under Wine (tools/e2e-wine.sh).
# What this machine cannot run is skipped with its reason (tools/skip.sh).
set -euo pipefail
script=$(realpath "$0")
repo=$(dirname "$(dirname "$script")")

fail() {
  echo "check-release: FAILED: $*" >&2
  exit 1
}

# text_file FILE [bom]: UTF-8 with CR LF line ends (and a BOM when asked).
text_file() {
  [[ "${2:-}" != bom || "$(head -c 3 "$1" | od -An -tx1 | tr -d ' ')" == efbbbf ]] ||
    fail "$1 does not begin with the UTF-8 BOM"
  iconv -f UTF-8 -t UTF-8 "$1" >/dev/null || fail "$1 is not UTF-8"
  if [[ $(tr -cd '\n' <"$1" | wc -c) -ne $(grep -c $'\r$' "$1") || -n "$(tail -c 1 "$1")" ]]; then
    fail "$1 has a line that does not end with CR LF"
  fi
}

# Inside a fresh copy of the Debian root: the package installs, the end-to-end tests pass on the
# installed program, and the package goes without a trace.
in_deb_root() {
  local deb=$1 version=$2 log
  log=$(mktemp)
  dpkg -i "$deb" >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg -i ${deb##*/}"; }
  [[ "$(dpkg-query -W -f '${Version} ${db:Status-Status}' dravik)" == "$version installed" &&
     "$(command -v dravik)" == /usr/bin/dravik &&
     "$(man -w dravik)" == /usr/share/man/man1/dravik.1.gz ]] || fail "dravik $version is not installed"
  echo "  ok: dpkg -i installs dravik $version and dravik(1)"
  DRAVIK_EXE=/usr/bin/dravik DRAVIK_TARGET=native \
    python3 -m unittest discover -s "$repo/tests/e2e" -p "test_*.py" || fail "the installed dravik"
  dpkg --purge dravik >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg --purge dravik"; }
  [[ ! -e /usr/bin/dravik && ! -e /usr/share/doc/dravik && ! -e /usr/share/man/man1/dravik.1.gz ]] ||
    fail "dpkg --purge dravik leaves files behind"
  echo "  ok: dpkg --purge removes every file"
}

# The release files of the first build, as a user gets them.
check_files() {
  local dist=$1 version=$2 arch=$3 target zip exe machine page
  [[ "$(cd "$dist" && echo *)" == "Dravik-$version-win32.zip Dravik-$version-win64.zip SHA256SUMS dravik_${version}_$arch.deb" ]] ||
    fail "dist/ holds $(cd "$dist" && echo *)"
  (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
  for target in win32 win64; do
    zip=$dist/Dravik-$version-$target.zip
    [[ "$(unzip -Z1 "$zip" | sort | xargs)" == "Dravik.exe LICENSE.txt README.txt" ]] ||
      fail "${zip##*/} holds $(unzip -Z1 "$zip" | xargs)"
    unzip -q -d "$work/$target" "$zip"
    text_file "$work/$target/README.txt" bom
    text_file "$work/$target/LICENSE.txt"
    grep -q "Dravik $version 使い方" "$work/$target/README.txt" ||
      fail "the guide in ${zip##*/} does not name Dravik $version"
    grep -q "Copyright (c) 2026 the Dravik authors" "$work/$target/LICENSE.txt" ||
      fail "the licence in ${zip##*/} names no copyright"
    exe=$work/$target/Dravik.exe
    machine=$([[ $target == win32 ]] && echo "Intel 386 or later, and compatibles" || echo "AMD AMD64")
    [[ "$(exiftool -s3 -MachineType -ProductName -ProductVersion -FileVersion -FileVersionNumber \
          -FileDescription -LegalCopyright "$exe")" == "$(printf '%s\n' "$machine" Dravik \
          "$version" "$version" "$version.0" "Dravik sparse file writer" \
          "Copyright (c) 2026 the Dravik authors")" ]] ||
      fail "the version resource of ${zip##*/}'s exe is not that of $version"
    "$repo/tools/check-exe.sh" "$exe" >/dev/null
    echo "  ok: ${zip##*/}: guide and licence with BOM and CR LF, version resource of $version"
  done
  dpkg-deb -x "$dist/dravik_${version}_$arch.deb" "$work/deb"
  page=$work/deb/usr/share/man/man1/dravik.1.gz
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$work/page" 2>"$work/warnings"
  [[ ! -s "$work/warnings" ]] || { cat "$work/warnings" >&2; fail "man renders dravik(1) with warnings"; }
  grep -q "Dravik $version" "$work/page" || fail "dravik(1) does not show the version $version"
  echo "  ok: the files' names and sums; the package's dravik(1) renders"
}

main() {
  local started=$SECONDS commit version arch suite target file differ="" deb_maker="" status
  local deb_root=${DRAVIK_DEB_ROOT:-/var/cache/dravik-deb-root}
  local wine_root=${DRAVIK_WINE_ROOT:-/var/cache/dravik-wine-root}
  cd "$repo"
  tools/install-deps.sh --all
  commit=$(git rev-parse --verify HEAD)
  arch=$(dpkg --print-architecture)
  work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-check-release.XXXXXX")
  trap 'rm -rf --one-file-system "$work"' EXIT
  # The package's root: a minimal one of this machine's own Debian release, made (or found made)
  # while the release builds.
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-sid}")
  local deb_recipe=(env DRAVIK_ROOT_SUITE="$suite" DRAVIK_ROOT_PACKAGES="man-db locales python3")
  if [[ $(id -u) -eq 0 ]]; then
    "${deb_recipe[@]}" tools/debian-root.sh make "$deb_root" &
    deb_maker=$!
  fi

  echo "check-release: two builds of $commit" >&2
  tools/release.sh "$work/first" >/dev/null
  git clone -q --shared --no-checkout "$repo" "$work/clone"
  git -C "$work/clone" checkout -q --detach "$commit"
  (cd "$work/clone" && umask 077 && TZ=Asia/Tokyo tools/release.sh "$work/second" >/dev/null)
  [[ "$(ls "$work/first")" == "$(ls "$work/second")" ]] || fail "two builds make other files"
  for file in "$work/first"/*; do
    cmp -s "$file" "$work/second/${file##*/}" && continue
    differ+=" ${file##*/}"
    diffoscope --text - "$file" "$work/second/${file##*/}" | head -n 200 >&2 || true
  done
  [[ -z "$differ" ]] || fail "two builds of $commit differ in$differ"
  echo "  ok: two builds in two folders give the same bytes"
  version=$(dpkg-deb -f "$work/first/dravik_"*"_$arch.deb" Version)
  check_files "$work/first" "$version" "$arch"

  if [[ -z "$deb_maker" ]]; then
    tools/skip.sh "the package in a clean Debian root" "needs root (debootstrap, chroot, mounts)"
    tools/skip.sh "the zips' exes under Wine" "needs root (the Wine root's chroot and mounts)"
    return
  fi
  wait "$deb_maker" || fail "the Debian $suite root $deb_root could not be made"
  echo "check-release: the package in a fresh copy of $deb_root" >&2
  cp -a --reflink=auto "$deb_root" "$work/root"
  local folders=("$repo" "$work/first")
  if [[ -n ${DRAVIK_SKIPS:-} ]]; then folders+=("$(dirname "$DRAVIK_SKIPS")"); fi
  # The tests' preloaded library, where this clone has built it (tools/test.sh does).
  local preload=$repo/build/native/tests/libdravik_preload.so
  [[ -f $preload ]] && export DRAVIK_PRELOAD=$preload
  "${deb_recipe[@]}" tools/debian-root.sh run "$work/root" "${folders[@]}" -- \
    env DRAVIK_SKIPS="${DRAVIK_SKIPS:-}" DRAVIK_PRELOAD="${DRAVIK_PRELOAD:-}" bash "$script" --in-deb-root \
    "$work/first/dravik_${version}_$arch.deb" "$version"
  rm -rf --one-file-system "$work/root"

  tools/debian-root.sh make "$wine_root"
  for target in win64 win32; do
    echo "check-release: Dravik.exe of Dravik-$version-$target.zip under Wine" >&2
    status=0
    tools/e2e-wine.sh "$wine_root" "$work/$target/Dravik.exe" || status=$?
    ((status == 0 || status == 77)) || fail "Dravik.exe of Dravik-$version-$target.zip"
  done
  echo "check-release: the release of Dravik $version passed its checks ($((SECONDS - started)) s)" >&2
}

case "${1:-}" in
  --in-deb-root) shift; in_deb_root "$@" ;;
  "") main ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
