#!/usr/bin/env bash
# Builds the copy's libFuzzer target (preset "fuzz", clang) and runs it: first over its seed
# corpus in tests/fuzz/corpus, then on new inputs for a bounded time. New inputs, logs and
# crashes go to a temporary folder, never into the repository; the folder is kept (and named)
# when the target fails. Exits non-zero when it crashes or fails a check.
#
#   tools/fuzz.sh                       30 s of new inputs
#   FUZZ_SECONDS=300 tools/fuzz.sh      longer (0: replay the seeds only)
#   FUZZ_JOBS=4 tools/fuzz.sh           build with more jobs (2 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}" --target fuzz_copy

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-fuzz.XXXXXX")
mkdir "$work/corpus" "$work/crashes"
fuzz=(build/fuzz/tests/fuzz/fuzz_copy -artifact_prefix="$work/crashes/" -timeout=25
      -rss_limit_mb=2048)
# Runs the target with the options given, its output in a log; on failure shows the log's end.
run() {
  local log=$work/$1
  shift
  "${fuzz[@]}" "$@" >"$log" 2>&1 && return
  tail -n 40 "$log"
  echo "Fuzzing failed. Logs and crashing inputs are in $work" >&2
  exit 1
}

echo "== fuzz_copy: seed corpus"
run seeds.log -runs=0 tests/fuzz/corpus/fuzz_copy
if ((seconds > 0)); then
  echo "== fuzz_copy: new inputs for $seconds s"
  run fuzz.log -max_total_time="$seconds" -print_final_stats=1 "$work/corpus" tests/fuzz/corpus/fuzz_copy
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/fuzz.log" || true
fi
rm -rf "$work"
echo "Fuzzing found nothing."
