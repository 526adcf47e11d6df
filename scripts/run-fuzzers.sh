#!/usr/bin/env bash
# Runs every libFuzzer target built in $1 for $2 seconds on a copy of its
# committed seed corpus. Exits non-zero on the first crash.
set -euo pipefail
dir=$1
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=("$dir"/fuzz/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets built" >&2
  exit 1
fi
passed=0
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  seeds="$root/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "== $name ($seconds s)"
  "$t" -max_total_time="$seconds" -print_final_stats=1 "$work" 2>&1 | grep -E 'stat::number_of_executed_units|cov:|ERROR|SUMMARY|Done' | tail -4
  status=${PIPESTATUS[0]}
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$name failed" >&2
    exit 1
  fi
  passed=$((passed + 1))
done
echo "fuzz: $passed passed, 0 failed"
