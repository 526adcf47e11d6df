#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite with CTest.
#   ./test.sh             plain build in build/
#   ./test.sh --asan      AddressSanitizer + UndefinedBehaviorSanitizer (leaks
#                         included) in build-asan/
#   ./test.sh --tsan      ThreadSanitizer in build-tsan/
#   ./test.sh --fuzz      libFuzzer targets (clang) in build-fuzz/, a short run
#                         of each (FUZZ_SECONDS, default 20)
#   ./test.sh --windows   the Qt-free core cross-built for Windows (MinGW-w64)
#                         in build-windows/, its tests run under Wine against
#                         meter-sim built for this machine in build/
# With CI set in the environment warnings are errors.
# Further arguments go to ctest, e.g. ./test.sh -L protocol; with --fuzz they
# name the targets to run, e.g. FUZZ_SECONDS=600 ./test.sh --fuzz inifile
# In the sanitizer modes every report of every process (meter-sim and other
# children included) goes to <build>/sanitizer-reports/, and any report
# there fails the run even when the process that wrote it passed.
set -euo pipefail
cd "$(dirname "$0")"

mode=plain
if [ $# -gt 0 ]; then
  case "$1" in
    --asan) mode=asan; shift ;;
    --tsan) mode=tsan; shift ;;
    --fuzz) mode=fuzz; shift ;;
    --windows) mode=windows; shift ;;
  esac
fi

if [ "$mode" = windows ]; then
  exec ./scripts/windows-tests.sh "$@"
fi

case "$mode" in
  fuzz) ./scripts/install-deps.sh fuzz ;;
  *)    ./scripts/install-deps.sh test ;;
esac

jobs=$(nproc)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

case "$mode" in
  plain) dir=build;      cmake_args=() ;;
  asan)  dir=build-asan; cmake_args=(-DMETER_SANITIZE=address) ;;
  tsan)  dir=build-tsan; cmake_args=(-DMETER_SANITIZE=thread) ;;
  fuzz)  dir=build-fuzz; cmake_args=(-DMETER_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
esac

# Under CI (CI set, as CI runners do) warnings are errors.
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B "$dir" "${generator[@]}" "${cmake_args[@]}" -DMETER_WERROR="$werror" >/dev/null

if [ "$mode" = fuzz ]; then
  # Only the fuzz targets: the rest of the tree is built by the other modes.
  cmake --build "$dir" -j "$jobs" --target fuzz_all
  exec ./scripts/run-fuzzers.sh "$dir" "${FUZZ_SECONDS:-20}" "$@"
fi

cmake --build "$dir" -j "$jobs"

reports=$PWD/$dir/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
case "$mode" in
  asan)
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:check_initialization_order=1}:log_path=$reports/asan"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}:log_path=$reports/ubsan"
    export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}"
    ;;
  tsan)
    export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp} log_path=$reports/tsan"
    ;;
esac

status=0
(cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") || status=$?

shopt -s nullglob
found=("$reports"/*)
if [ ${#found[@]} -gt 0 ]; then
  echo "Sanitizer reports (${#found[@]}) in $reports:" >&2
  for f in "${found[@]}"; do
    echo "== $f" >&2
    head -n 60 "$f" >&2
  done
  status=1
fi
exit "$status"
