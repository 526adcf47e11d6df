#!/usr/bin/env bash
# Runs libFuzzer targets built in <build dir> for <seconds> each, every one
# on a fresh copy of its committed seed corpus (fuzz/corpus/<name>/), and
# prints runs, coverage and corpus size per target.
#   scripts/run-fuzzers.sh <build dir> [seconds] [name...]
# Without names every fuzz_* target runs. A crash or a broken invariant fails
# the run; the input that caused it is kept in <build dir>/fuzz-artifacts/
# and can be replayed with: <build dir>/fuzz/fuzz_<name> <that file>
set -euo pipefail
dir=$(cd "$1" && pwd)
seconds=${2:-20}
shift $(($# < 2 ? $# : 2))
root=$(cd "$(dirname "$0")/.." && pwd)

targets=()
if [ $# -gt 0 ]; then
  for name in "$@"; do
    targets+=("$dir/fuzz/fuzz_${name#fuzz_}")
  done
else
  shopt -s nullglob
  targets=("$dir"/fuzz/fuzz_*)
  shopt -u nullglob
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets built in $dir/fuzz" >&2
  exit 1
fi

artifacts=$dir/fuzz-artifacts
logs=$dir/fuzz-logs
mkdir -p "$artifacts" "$logs"
passed=0
failed=()
for t in "${targets[@]}"; do
  name=$(basename "$t")
  name=${name#fuzz_}
  if [ ! -x "$t" ]; then
    echo "== $name: not built ($t)" >&2
    failed+=("$name")
    continue
  fi
  work=$dir/fuzz-work/$name
  rm -rf "$work"
  mkdir -p "$work"
  seeds=$root/fuzz/corpus/$name
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  log=$logs/$name.log
  status=0
  "$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "$work" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  progress=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$progress")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$progress")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$progress")
  printf '== %-14s %4ss  runs %-10s cov %-5s ft %-6s corpus %s\n' \
    "$name" "$seconds" "${runs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
  if [ "$status" -ne 0 ]; then
    echo "   FAILED (exit $status), log: $log" >&2
    grep -E 'invariant broken|ERROR:|SUMMARY:|Test unit written' "$log" | head -8 >&2 || true
    failed+=("$name")
  else
    passed=$((passed + 1))
  fi
done
echo "fuzz: $passed passed, ${#failed[@]} failed${failed:+ (${failed[*]})}"
[ ${#failed[@]} -eq 0 ]
