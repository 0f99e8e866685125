#!/usr/bin/env bash
# Builds all three targets and runs every test: unit tests; end-to-end tests natively and, for
# both Windows exes, under the Wine of a Debian unstable root (made once per machine by
# tools/debian-root.sh, in /var/cache/dravik-wine-root or $DRAVIK_WINE_ROOT; needs root); the
# unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer; the unit tests and the
# native end-to-end tests under ThreadSanitizer; and the fuzz target (its seed corpus, then 30 s
# of fuzzing). What this machine cannot run (32-bit code, loop devices, root) is skipped, and
# the summary at the end lists each skip with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --all

# The root is made (or found made) while the targets build.
wine_root=${DRAVIK_WINE_ROOT:-/var/cache/dravik-wine-root}
tools/debian-root.sh make "$wine_root" &
root_maker=$!

DRAVIK_SKIPS=$(mktemp -d)/skips
export DRAVIK_SKIPS
: >"$DRAVIK_SKIPS"
trap 'rm -rf "$(dirname "$DRAVIK_SKIPS")"' EXIT

jobs=$(nproc)
build() {
  cmake --preset "$1" "${@:2}" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

build win32
build win64
build native -DBUILD_TESTING=ON -DDRAVIK_WINE_ROOT="$wine_root" \
  -DDRAVIK_WIN32_EXE="$PWD/build/win32/Dravik.exe" -DDRAVIK_WIN64_EXE="$PWD/build/win64/Dravik.exe"
build sanitize -DDRAVIK_UNIT_TESTS_ONLY=ON
build tsan

tools/check-exe.sh build/win32/Dravik.exe build/win64/Dravik.exe
if ! wait "$root_maker"; then
  echo "The Debian unstable root with Wine could not be made in $wine_root:" \
       "the Windows exes cannot be tested." >&2
  exit 1
fi

ctest --test-dir build/native --output-on-failure -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
# ThreadSanitizer needs the address layout it expects, which some kernels' randomization breaks.
setarch "$(uname -m)" -R ctest --test-dir build/tsan --output-on-failure -j "$jobs"
FUZZ_JOBS="$jobs" tools/fuzz.sh
# The release files: two builds compared, the package in a clean Debian root, the zips' exes.
tools/check-release.sh

if [[ -s $DRAVIK_SKIPS ]]; then
  echo "Skipped on this machine:"
  sed 's/^/  /' "$DRAVIK_SKIPS"
fi
echo "All tests passed."
