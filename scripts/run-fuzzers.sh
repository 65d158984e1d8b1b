#!/usr/bin/env bash
# Runs every libFuzzer program in BUILD/fuzz for SECONDS each, from an empty corpus
# plus any seeds under tests/fuzz/corpus/NAME.
set -euo pipefail
build=${1:-build/fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
status=0
for f in "$build"/fuzz/fuzz_*; do
  f=$(cd "$(dirname "$f")" && pwd)/$(basename "$f")
  name=$(basename "$f"); name=${name#fuzz_}
  work=$(mktemp -d)
  seeds=()
  [ -d "$root/tests/fuzz/corpus/$name" ] && seeds=("$root/tests/fuzz/corpus/$name")
  echo "fuzz $name for ${seconds}s"
  if ! (cd "$work" && "$f" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
        "$work" "${seeds[@]}" >"$work/log" 2>&1); then
    tail -n 40 "$work/log"; status=1
  fi
  rm -rf "$work"
done
exit $status
