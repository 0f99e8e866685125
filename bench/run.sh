#!/usr/bin/env bash
# Builds dravik and times it against cp and truncate on generated files; prints a Markdown
# table on standard output (progress on standard error). Settings: see bench/README.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

for tool in hyperfine python3 cmp diff cp truncate taskset /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing; tools/install-deps.sh --all installs what the benchmark needs" >&2
    exit 2
  fi
done

if [[ -z "${BENCH_DRAVIK:-}" ]]; then
  echo "building dravik (native preset)" >&2
  (cd "$root" && cmake --preset native && cmake --build --preset native --target dravik) >&2
  export BENCH_DRAVIK="$root/build/native/dravik"
fi

exec python3 "$root/bench/bench.py"
