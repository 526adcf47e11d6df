#!/usr/bin/env bash
# Takes the pictures of the operator's guide (docs/guide/*.png) from the
# current build: the real window under Xvfb, driven against meter-sim on a
# pty and on a loopback TCP port.
#   ./scripts/screenshots.sh [BUILD_DIR]     (default: build)
# Needs scripts/install-deps.sh docs (Xvfb, xauth, the Chinese font).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/install-deps.sh" docs
cmake --build "$build" --target guide-shots meter-sim
shots=$build/tools/guide/guide-shots
sim=$build/tools/meter-sim/meter-sim

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Meters answer in 250 ms, so the batch is still running when it is pictured.
"$sim" --pty "$work/COM1" --tcp 127.0.0.1:0 --delay 250 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -qx ready "$work/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log" >&2; exit 1; }
  sleep 0.1
done
port=$(sed -n 's/^tcp 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/sim.log" | head -n 1)
if [ -z "$port" ]; then
  echo "screenshots: meter-sim did not get ready" >&2
  cat "$work/sim.log" >&2
  exit 1
fi

# A fixed home and locale: the pictures do not depend on who takes them.
mkdir -p "$work/home"
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.state \
  LANG=C.UTF-8 QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1400x900x24" \
  "$shots" --pty "$work/COM1" --port "$port" --out "$root/docs/guide"
