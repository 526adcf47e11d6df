#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite with CTest.
#   ./test.sh             plain build in build/
#   ./test.sh --asan      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   ./test.sh --tsan      ThreadSanitizer in build-tsan/
#   ./test.sh --fuzz      libFuzzer targets (clang) in build-fuzz/, a short run of each
# Any further arguments go to ctest, e.g. ./test.sh -L protocol
set -euo pipefail
cd "$(dirname "$0")"

mode=plain
if [ $# -gt 0 ]; then
  case "$1" in
    --asan) mode=asan; shift ;;
    --tsan) mode=tsan; shift ;;
    --fuzz) mode=fuzz; shift ;;
  esac
fi

./scripts/install-deps.sh

jobs=$(nproc)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

case "$mode" in
  plain) dir=build;      cmake_args=() ;;
  asan)  dir=build-asan; cmake_args=(-DMETER_SANITIZE=address) ;;
  tsan)  dir=build-tsan; cmake_args=(-DMETER_SANITIZE=thread) ;;
  fuzz)  dir=build-fuzz; cmake_args=(-DMETER_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
esac

cmake -S . -B "$dir" "${generator[@]}" "${cmake_args[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"

if [ "$mode" = fuzz ]; then
  exec ./scripts/run-fuzzers.sh "$dir" "${FUZZ_SECONDS:-20}"
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [ -f scripts/tsan.supp ]; then
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 suppressions=$PWD/scripts/tsan.supp}"
fi
if [ -f scripts/lsan.supp ]; then
  export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp}"
fi

cd "$dir"
exec ctest --output-on-failure -j "$jobs" "$@"
