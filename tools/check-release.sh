#!/usr/bin/env bash
# Checks the release files of the commit checked out as their users meet them:
#  - tools/release.sh runs twice, here and in a clone of the commit in another folder, later,
#    under another time zone and umask: both must give the same bytes (diffoscope shows what
#    differs when they do not);
#  - the files' names and sums; in each zip the guide and the licence as Notepad wants them
#    (UTF-8 with BOM, CR LF) and the version in the exe's version resource; the manual page
#    rendered by man without a warning;
#  - the package installed into a fresh copy of a minimal Debian root of this machine's release
#    (made once per machine in /var/cache/dravik-deb-root or $DRAVIK_DEB_ROOT), where dravik
#    creates and copies sparse files and then is purged;
#  - each zip's exe, unpacked, under the Wine of tools/wine-root.sh's root (/var/cache/
#    dravik-wine-root or $DRAVIK_WINE_ROOT) on the guide's examples; the 32-bit one where
#    tools/probe-win32.sh finds that this machine runs 32-bit code.
# What this machine cannot run is skipped with its reason: a line in the file $DRAVIK_SKIPS
# when it is set, else on standard error.
set -euo pipefail
script=$(realpath "$0")
repo=$(dirname "$(dirname "$script")")
wine=/usr/lib/x86_64-linux-gnu/wine/wine
COUNT=" 個のファイルをコピーしました。"
ASK=" を上書きしますか？(Yes/No"

fail() {
  echo "check-release: FAILED: $*" >&2
  exit 1
}

skip() {
  if [[ -n "${DRAVIK_SKIPS:-}" ]]; then echo "$1: $2" >>"$DRAVIK_SKIPS"; fi
  echo "check-release: skipped: $1: $2" >&2
}

# check WHAT INPUT LINE... -- COMMAND...: COMMAND, given INPUT on standard input, writes the
# LINEs each ended by CR LF (decoded by $decode), nothing on standard error, and exits 0.
check() {
  local what=$1 input=$2 want="" got code=0
  shift 2
  while [[ "$1" != -- ]]; do want+=$1$'\r\n'; shift; done
  shift
  printf '%b' "$input" | "$@" >"$T/out" 2>"$T/err" || code=$?
  got=$($decode <"$T/out"; echo .)
  got=${got%.}
  if [[ "$got" != "$want" || -s "$T/err" || $code -ne 0 ]]; then
    printf '  expected: %s\n  got:      %s\n' "${want//$'\r'/\\r}" "${got//$'\r'/\\r}" >&2
    [[ -s "$T/err" ]] && sed 's/^/  standard error: /' "$T/err" >&2
    fail "$what (exit code $code)"
  fi
  echo "  ok: $what"
}

# report WHAT MODULE MESSAGE -- COMMAND...: COMMAND, its standard output on a full device and
# an empty line on standard input, ends with the two-line error report and the exit code 1.
report() {
  local what=$1 got code=0
  local want="EInOutError がモジュール $2 の XXXXXXXX で発生しました。"$'\n'"$3"$'\r'
  shift 4
  printf '\n' | "$@" >/dev/full 2>"$T/err" || code=$?
  got=$($decode <"$T/err" | sed -E 's/ [0-9A-F]{8} / XXXXXXXX /')
  [[ "$got" == "$want" && $code -eq 1 ]] || { echo "  got: $got" >&2; fail "$what (exit code $code)"; }
  echo "  ok: $what"
}

# sparse FILE LENGTH MOST: FILE is LENGTH bytes long and has at most MOST KiB allocated.
sparse() {
  local length blocks
  read -r length blocks < <(stat -c '%s %b' "$1")
  [[ $length -eq $2 && $((blocks / 2)) -le $3 ]] ||
    fail "$1 is $length bytes long with $((blocks / 2)) KiB allocated, not $2 with at most $3"
}

# A file of 8 MiB of zeros, every byte allocated, between a head and a tail.
disk_image() { { printf head; head -c 8M /dev/zero; printf tail; } >"$1"; }

# Inside a fresh copy of the Debian root: the package installs, works and goes.
in_deb_root() {
  local deb=$1 version=$2 page
  T=$(mktemp -d) decode=cat
  dpkg -i "$deb" >"$T/log" 2>&1 || { cat "$T/log" >&2; fail "dpkg -i ${deb##*/}"; }
  [[ "$(dpkg-query -W -f '${Version} ${db:Status-Status}' dravik)" == "$version installed" &&
     "$(command -v dravik)" == /usr/bin/dravik ]] || fail "dravik $version is not installed"
  page=$(man -w dravik)
  [[ "$page" == /usr/share/man/man1/dravik.1.gz ]] || fail "man finds dravik(1) at '$page'"
  MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$T/page" 2>"$T/err"
  [[ ! -s "$T/err" ]] || { cat "$T/err" >&2; fail "man renders dravik(1) with warnings"; }
  grep -q "Dravik $version" "$T/page" || fail "dravik(1) does not show the version $version"
  echo "  ok: dpkg -i installs dravik $version; man renders dravik(1)"

  mount -t tmpfs dravik-check /mnt
  cd /mnt
  export LC_ALL=ja_JP.UTF-8
  check "dravik /c big.bin 100G" "" \
    "/mnt/big.bin (107,374,182,400 bytes) ファイルを作成しました。" -- dravik /c big.bin 100G
  sparse big.bin $((100 << 30)) 0
  mkdir data backup
  disk_image data/disk.img
  echo notes >data/notes.txt
  check "dravik data/disk.img backup" "" "/mnt/data/disk.img > /mnt/backup/disk.img" \
    "         1$COUNT" -- dravik data/disk.img backup
  cmp data/disk.img backup/disk.img || fail "backup/disk.img differs from data/disk.img"
  sparse backup/disk.img $((8 << 20 | 8)) 8
  check "dravik /mnt/data/disk.img /mnt/copy.img" "" "/mnt/data/disk.img > /mnt/copy.img" \
    "         1$COUNT" -- dravik /mnt/data/disk.img /mnt/copy.img
  cmp data/disk.img copy.img || fail "copy.img differs from data/disk.img"
  sparse copy.img $((8 << 20 | 8)) 8
  check "dravik '/mnt/data/*.img' /mnt/backup/ </dev/null: the existing file is kept" "" \
    "/mnt/backup/disk.img$ASK/All)" "/mnt/data/disk.img ... skip" "         0$COUNT" \
    -- dravik '/mnt/data/*.img' /mnt/backup/
  check "the same, answered 'maybe', then ' ALL '" 'maybe\n ALL \n' \
    "/mnt/backup/disk.img$ASK/All)/mnt/backup/disk.img$ASK/All)/mnt/data/disk.img > /mnt/backup/disk.img" \
    "         1$COUNT" -- dravik '/mnt/data/*.img' /mnt/backup/
  [[ ! -e backup/notes.txt ]] || fail "notes.txt was copied by the pattern *.img"
  check "dravik /c big.bin 1K, answered n" 'n\n' \
    "/mnt/big.bin$ASK)/mnt/big.bin ファイルが作成されませんでした。" -- dravik /c big.bin 1K
  sparse big.bin $((100 << 30)) 0
  check "dravik /c /proc/x.bin 1K (a file system without holes)" "" \
    "作成先ドライブがNTFSではありません." -- dravik /c /proc/x.bin 1K
  check "dravik (the usage screen)" '\n' "Dravik.exe" \
    " dravik コピー元ファイル コピー先フォルダ|コピー先ファイル" \
    " dravik /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]" "" "by vellamor" "" \
    "Enter キーを押して下さい" -- dravik
  report "dravik >/dev/full (an error report)" dravik "I/O エラー (112)." -- dravik
  cd /
  umount /mnt
  dpkg --purge dravik >"$T/log" 2>&1 || { cat "$T/log" >&2; fail "dpkg --purge dravik"; }
  [[ ! -e /usr/bin/dravik && ! -e /usr/share/doc/dravik && ! -e /usr/share/man/man1/dravik.1.gz ]] ||
    fail "dpkg --purge dravik leaves files behind"
  echo "  ok: dpkg --purge removes every file"
}

# Inside the Wine root: the exe unpacked from a zip, on the guide's examples, on drive T:.
in_wine() {
  local exe=$1
  T=$(mktemp -d) decode="iconv -f CP932 -t UTF-8"
  unset TMPDIR  # Wine 10 aborts at its start when it is set
  export WINEPREFIX=$T/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=ja_JP.UTF-8
  "$wine" cmd /c exit >/dev/null 2>&1
  mkdir -p "$T/t/test" "$T/t/vm" "$T/t/backup" "$T/t/My Images"
  ln -s "$T/t" "$WINEPREFIX/dosdevices/t:"
  cd "$T/t"
  run() { "$wine" "$exe" "$@"; }

  check 'Dravik.exe /c T:\test\big.bin 100G' "" \
    'T:\test\big.bin (107,374,182,400 bytes) ファイルを作成しました。' -- run /c 'T:\test\big.bin' 100G
  sparse test/big.bin $((100 << 30)) 0
  disk_image vm/disk.vhd
  check 'Dravik.exe T:\vm\disk.vhd T:\backup' "" 'T:\vm\disk.vhd > T:\backup\disk.vhd' \
    "         1$COUNT" -- run 'T:\vm\disk.vhd' 'T:\backup'
  # Wine leaves the block allocated where it sets an end inside it.
  cmp vm/disk.vhd backup/disk.vhd || fail "backup/disk.vhd differs from vm/disk.vhd"
  sparse backup/disk.vhd $((8 << 20 | 8)) 12
  cp vm/disk.vhd "My Images/a.img"
  echo notes >"My Images/notes.txt"
  check 'Dravik.exe "T:\My Images\*.img" T:\backup\' "" \
    'T:\My Images\a.img > T:\backup\a.img' "         1$COUNT" -- run 'T:\My Images\*.img' 'T:\backup\'
  cmp vm/disk.vhd backup/a.img || fail "backup/a.img differs from vm/disk.vhd"
  sparse backup/a.img $((8 << 20 | 8)) 12
  [[ ! -e backup/notes.txt ]] || fail "notes.txt was copied by the pattern *.img"
  check 'the same, < NUL: the existing file is kept' "" \
    "T:\\backup\\a.img$ASK/All)" "T:\\My Images\\a.img ... skip" "         0$COUNT" \
    -- run 'T:\My Images\*.img' 'T:\backup\'
  check "the same, answered 'maybe', then ' ALL '" 'maybe\r\n ALL \r\n' \
    "T:\\backup\\a.img$ASK/All)T:\\backup\\a.img$ASK/All)T:\\My Images\\a.img > T:\\backup\\a.img" \
    "         1$COUNT" -- run 'T:\My Images\*.img' 'T:\backup\'
  check 'Dravik.exe /c T:\test\big.bin 1K, answered n' 'n\r\n' \
    "T:\\test\\big.bin$ASK)T:\\test\\big.bin ファイルが作成されませんでした。" \
    -- run /c 'T:\test\big.bin' 1K
  sparse test/big.bin $((100 << 30)) 0
  check "Dravik.exe (the usage screen)" '\r\n' "Dravik.exe" \
    " Dravik.exe コピー元ファイル コピー先フォルダ|コピー先ファイル" \
    " Dravik.exe /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]" "" "by vellamor" "" \
    "Enter キーを押して下さい" -- run
  report "Dravik.exe >/dev/full (an error report)" Dravik.exe "I/O エラー (112)." -- run
}

# text_file FILE: UTF-8 with CR LF line ends (and a BOM when $2 is "bom").
text_file() {
  local start
  start=$(head -c 3 "$1" | od -An -tx1 | tr -d ' ')
  [[ "${2:-}" != bom || "$start" == efbbbf ]] || fail "$1 does not begin with the UTF-8 BOM"
  iconv -f UTF-8 -t UTF-8 "$1" >/dev/null || fail "$1 is not UTF-8"
  if [[ $(tr -cd '\n' <"$1" | wc -c) -ne $(grep -c $'\r$' "$1") || -n "$(tail -c 1 "$1")" ]]; then
    fail "$1 has a line that does not end with CR LF"
  fi
}

# The release files of the first build, as a user gets them.
check_files() {
  local dist=$1 version=$2 arch=$3 target zip exe resource want page
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
    resource=$(exiftool -s3 -MachineType -ProductName -ProductVersion -FileVersion \
                 -FileVersionNumber -FileDescription -LegalCopyright "$exe")
    want=$(printf '%s\n' "$machine" Dravik "$version" "$version" "$version.0" \
             "Dravik sparse file writer" "Copyright (c) 2026 the Dravik authors")
    [[ "$resource" == "$want" ]] || fail "the version resource of ${zip##*/}'s exe: $resource"
    "$repo/tools/check-exe.sh" "$exe" >/dev/null
    echo "  ok: ${zip##*/}: guide and licence with BOM and CR LF, version resource of $version"
  done
  [[ "$(dpkg-deb -f "$dist/dravik_${version}_$arch.deb" Package Version)" == $'Package: dravik\nVersion: '$version ]] ||
    fail "the package is not dravik $version"
  dpkg-deb -x "$dist/dravik_${version}_$arch.deb" "$work/deb"
  page=$work/deb/usr/share/man/man1/dravik.1.gz
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$work/page" 2>"$work/warnings"
  [[ ! -s "$work/warnings" ]] || { cat "$work/warnings" >&2; fail "man renders dravik(1) with warnings"; }
  grep -q "Dravik $version" "$work/page" || fail "dravik(1) does not show the version $version"
  echo "  ok: the files' names and sums; the package's dravik(1) renders"
}

main() {
  local started=$SECONDS commit version arch suite reason deb_maker=""
  local deb_root=${DRAVIK_DEB_ROOT:-/var/cache/dravik-deb-root}
  local wine_root=${DRAVIK_WINE_ROOT:-/var/cache/dravik-wine-root}
  cd "$repo"
  tools/install-deps.sh --all
  commit=$(git rev-parse --verify HEAD)
  version=$(git show "$commit:CMakeLists.txt" | sed -n 's/^project(Dravik VERSION \([0-9.]*\).*/\1/p')
  arch=$(dpkg --print-architecture)
  work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-check-release.XXXXXX")
  trap 'rm -rf --one-file-system "$work"' EXIT

  # The package's root: a minimal one of this machine's own Debian release, made (or found
  # made) while the release builds.
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-sid}")
  export DRAVIK_ROOT_SUITE=$suite DRAVIK_ROOT_PACKAGES="man-db locales"
  local as_root=""
  if [[ $(id -u) -eq 0 ]]; then
    as_root=yes
    tools/wine-root.sh make "$deb_root" &
    deb_maker=$!
  fi

  echo "check-release: two builds of $commit" >&2
  tools/release.sh "$work/first" >/dev/null
  git clone -q --shared --no-checkout "$repo" "$work/clone"
  git -C "$work/clone" checkout -q --detach "$commit"
  (cd "$work/clone" && umask 077 && TZ=Asia/Tokyo tools/release.sh "$work/second" >/dev/null)
  [[ "$(ls "$work/first")" == "$(ls "$work/second")" ]] || fail "two builds make other files"
  local file name differ=""
  for file in "$work/first"/*; do
    name=${file##*/}
    cmp -s "$file" "$work/second/$name" && continue
    differ+=" $name"
    diffoscope --text - "$file" "$work/second/$name" | head -n 200 >&2 || true
  done
  [[ -z "$differ" ]] || fail "two builds of $commit differ in$differ"
  echo "  ok: two builds in two folders give the same bytes"
  check_files "$work/first" "$version" "$arch"

  if [[ -z "$as_root" ]]; then
    skip "the package in a clean Debian root" "needs root (debootstrap, chroot, mounts)"
    skip "the zips' exes under Wine" "needs root (the Wine root's chroot and mounts)"
    return
  fi
  wait "$deb_maker" || fail "the Debian $suite root $deb_root could not be made"
  echo "check-release: the package in a fresh copy of $deb_root" >&2
  cp -a --reflink=auto "$deb_root" "$work/root"
  tools/wine-root.sh run "$work/root" "$repo" "$work/first" -- \
    bash "$script" --in-deb-root "$work/first/dravik_${version}_$arch.deb" "$version"
  rm -rf --one-file-system "$work/root"

  unset DRAVIK_ROOT_SUITE DRAVIK_ROOT_PACKAGES
  tools/wine-root.sh make "$wine_root"
  for target in win64 win32; do
    if [[ $target == win32 ]] && ! reason=$(tools/probe-win32.sh "$wine_root"); then
      skip "Dravik.exe of Dravik-$version-win32.zip under Wine" "$reason"
      continue
    fi
    echo "check-release: Dravik.exe of Dravik-$version-$target.zip under Wine" >&2
    tools/wine-root.sh run "$wine_root" "$repo" "$work/$target" -- \
      bash "$script" --in-wine "$work/$target/Dravik.exe"
  done
  echo "check-release: the release of Dravik $version passed its checks ($((SECONDS - started)) s)" >&2
}

case "${1:-}" in
  --in-deb-root) shift; in_deb_root "$@" ;;
  --in-wine) shift; in_wine "$@" ;;
  "") main ;;
  *) echo "usage: $0" >&2; exit 2 ;;
esac
