#!/usr/bin/env bash
# Builds all three targets and runs every test: unit tests; end-to-end tests natively and, for
# both Windows exes, under the Wine of a Debian unstable root (made once per machine by
# tools/wine-root.sh, in /var/cache/dravik-wine-root or $DRAVIK_WINE_ROOT; needs root); the
# unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer; and the fuzz target
# (its seed corpus, then 30 s of fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --all

# The root is made (or found made) while the targets build.
wine_root=${DRAVIK_WINE_ROOT:-/var/cache/dravik-wine-root}
tools/wine-root.sh make "$wine_root" &
root_maker=$!

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

tools/check-exe.sh build/win32/Dravik.exe build/win64/Dravik.exe
if ! wait "$root_maker"; then
  echo "The Debian unstable root with Wine could not be made in $wine_root:" \
       "the Windows exes cannot be tested." >&2
  exit 1
fi

# As root, the copy is also checked on a loop-mounted XFS volume; the test fails rather than
# skips when it cannot make one.
[[ $(id -u) -eq 0 ]] && export DRAVIK_REQUIRE_XFS=1
ctest --test-dir build/native --output-on-failure -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
FUZZ_JOBS="$jobs" tools/fuzz.sh
# The release files: two builds compared, the package in a clean Debian root, the zips' exes.
tools/check-release.sh
echo "All tests passed."
