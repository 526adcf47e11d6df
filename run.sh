#!/usr/bin/env bash
# Installs what is missing, builds a release, and starts the console.
#   ./run.sh          the console, with Config.ini beside the built executable
#   ./run.sh --demo   the console wired to the simulated meter bus (meter-sim)
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh run

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build-release "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DMETER_TESTS=OFF >/dev/null
# Only what the console and the demo need, not the test programs.
cmake --build build-release -j "$(nproc)" --target meter-console meter-sim

if [ "${1:-}" = "--demo" ]; then
  exec ./scripts/demo.sh build-release
fi
exec build-release/console/meter-console
