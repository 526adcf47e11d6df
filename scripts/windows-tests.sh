#!/usr/bin/env bash
# ./test.sh --windows: cross-builds the Qt-free core and its tests for 64-bit
# Windows in build-windows/ and runs them under Wine, one at a time, in a
# Wine prefix inside that folder. meter-sim, the peer, is built for this
# machine in build/. Further arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh windows

jobs=$(nproc)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# The simulator only; the rest of build/ is the plain mode's business.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" "${launcher[@]}" >/dev/null
fi
cmake --build build -j "$jobs" --target meter-sim

# Under CI (CI set) warnings are errors, as in the other modes.
werror=OFF
[ -n "${CI:-}" ] && werror=ON
dir=build-windows
cmake -S . -B "$dir" "${generator[@]}" "${launcher[@]}" -DMETER_WERROR="$werror" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
  -DMETER_CORE_ONLY=ON \
  -DMETER_SIM_EXECUTABLE="$PWD/build/tools/meter-sim/meter-sim" >/dev/null
cmake --build "$dir" -j "$jobs"

export WINEPREFIX=$PWD/$dir/wineprefix
wineserver=/usr/lib/wine/wineserver64
# Whatever happens, no wineserver of ours outlives the run.
trap '"$wineserver" -k 2>/dev/null || true' EXIT

# The tests share the prefix, so they run one after the other.
(cd "$dir" && ctest --output-on-failure --timeout 150 "$@")
