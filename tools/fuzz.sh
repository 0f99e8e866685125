#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each one: first over its seed
# corpus in tests/fuzz/corpus, then on new inputs for a bounded time. New inputs, logs and
# crashes go to a temporary folder, never into the repository; the folder is kept (and
# named) when a target fails. Exits non-zero when any target crashes or fails a check.
#
#   tools/fuzz.sh                       every target, 30 s each
#   tools/fuzz.sh fuzz_copy             only the targets named
#   FUZZ_SECONDS=300 tools/fuzz.sh      longer runs (0: replay the seeds only)
#   FUZZ_JOBS=4 tools/fuzz.sh           build with more jobs (2 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-2}
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(fuzz_copy)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-fuzz.XXXXXX")
failed=()

# Runs one libFuzzer command, its output in a log; on failure shows the log's end.
run() {
  local log=$1
  shift
  if "$@" >"$log" 2>&1; then
    return 0
  fi
  tail -n 40 "$log"
  return 1
}

for target in "${targets[@]}"; do
  binary=build/fuzz/tests/fuzz/$target
  seeds=tests/fuzz/corpus/$target
  out=$work/$target
  mkdir -p "$out/corpus" "$out/crashes"
  options=(-artifact_prefix="$out/crashes/" -timeout=25 -rss_limit_mb=2048)

  echo "== $target: seed corpus"
  if ! run "$out/seeds.log" "$binary" "${options[@]}" -runs=0 "$seeds"; then
    failed+=("$target")
    continue
  fi
  ((seconds > 0)) || continue
  echo "== $target: new inputs for $seconds s"
  if ! run "$out/fuzz.log" "$binary" "${options[@]}" -max_total_time="$seconds" \
      -print_final_stats=1 "$out/corpus" "$seeds"; then
    failed+=("$target")
    continue
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$out/fuzz.log" || true
done

if ((${#failed[@]})); then
  echo "Fuzzing failed: ${failed[*]}. Logs and crashing inputs are in $work" >&2
  exit 1
fi
rm -rf "$work"
echo "Fuzzing found nothing."
