#!/usr/bin/env bash
# Builds the Linux program and shows its main job on a small example: a sparse file is
# created, then a fully allocated file with data only at its ends is copied, and each
# file's length is shown next to the space it takes on disk.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset native -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset native --target dravik >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dravik=build/native/dravik
show() { stat -c '    %n: %s bytes long, %b blocks of %B bytes allocated' "$@"; }

echo "\$ dravik /c disk.img 1G"
"$dravik" /c "$work/disk.img" 1G </dev/null
show "$work/disk.img"

{ printf 'header'; head -c 64M /dev/zero; printf 'footer'; } >"$work/full.bin"
echo "\$ dravik full.bin copy.bin"
"$dravik" "$work/full.bin" "$work/copy.bin" </dev/null
show "$work/full.bin" "$work/copy.bin"
cmp "$work/full.bin" "$work/copy.bin" && echo "    copy.bin is identical to full.bin"
