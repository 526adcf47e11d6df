#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench/), runs them and prints one
# table: every figure with its budget, its baseline and the verdict.
#   ./bench.sh          all five figures
#   ./bench.sh 1 4      only figures 1 and 4
# Each program's full output goes to build-bench/bench-logs/<program>.log.
# Exits 1 when a measured figure misses its budget.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh bench

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build-bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DMETER_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target bench_programs

build="$PWD/build-bench"
logs="$build/bench-logs"
mkdir -p "$logs"
rm -f "$logs"/*.log
export QT_QPA_PLATFORM=offscreen
export METER_BUILD_DIR="$build"
runtime=$(mktemp -d /tmp/meter-bench-XDG-XXXXXX)
rows=$(mktemp /tmp/meter-bench-rows-XXXXXX)
trap 'rm -rf "$runtime" "$rows"' EXIT
export XDG_RUNTIME_DIR="$runtime"

# figure  program  the rows it reports  [arguments]
programs=(
  "1|bench_serial_roundtrip|1a 1b 1c 1d|"
  "2|bench_wait_cpu|2a 2b|"
  "3|bench_tcp_batch|3 3b|"
  "4|bench_logpane|4a|--benchmark_color=false"
  "4|bench_codec|4b 4c 4d|--benchmark_color=false"
  "5|bench_startup|5a 5b|"
)

load=$(cut -d' ' -f1-3 /proc/loadavg)
wanted=" $* "
for entry in "${programs[@]}"; do
  IFS='|' read -r figure program ids args <<<"$entry"
  if [ $# -gt 0 ] && [[ "$wanted" != *" $figure "* ]]; then
    continue
  fi
  echo "running $program ..." >&2
  status=0
  # shellcheck disable=SC2086 # args is a word list
  "$build/bench/$program" $args >"$logs/$program.log" 2>&1 || status=$?
  grep -o '@row.*' "$logs/$program.log" >>"$rows" || true
  # A program that died before reporting still gets its rows, marked.
  for id in $ids; do
    if ! grep -q "@row	$id	" "$logs/$program.log"; then
      printf '@row\t%s\t%s\t\t\t\t\tnot measured\t%s exited with status %d before reporting; see %s\n' \
        "$id" "(figure $figure)" "$program" "$status" "build-bench/bench-logs/$program.log" >>"$rows"
    fi
  done
done

qt=$(qtpaths6 --qt-version 2>/dev/null || true)
cpu=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n1)
echo
echo "Machine: $(nproc) cores, $cpu, Linux $(uname -r)${qt:+, Qt $qt}; Release build; $(date -u '+%Y-%m-%d %H:%M UTC'); load average $load at the start"
echo
echo "| # | Figure | Value | Budget | Baseline | Ratio | Result | Note |"
echo "|---|---|---|---|---|---|---|---|"
awk -F'\t' '{ printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, ($4 == "" ? "-" : $4), $5, ($6 == "" ? "-" : $6), ($7 == "" ? "-" : $7), $8, $9 }' "$rows"

met=$(awk -F'\t' '$8 == "pass"' "$rows" | wc -l)
failed=$(awk -F'\t' '$8 == "FAIL"' "$rows" | wc -l)
unmeasured=$(awk -F'\t' '$8 == "not measured"' "$rows" | wc -l)
informative=$(awk -F'\t' '$8 == "info"' "$rows" | wc -l)
echo
echo "Budgets met: $met; missed: $failed; not measured: $unmeasured; without a budget (info): $informative. Ratio: our cost over the baseline's (above 1: slower)."
[ "$failed" -eq 0 ]
