#!/usr/bin/env bash
# Runs the console against the simulated meter bus (meter-sim): the simulator on
# a pseudo-terminal and on a local TCP port, and a copy of the console in the
# demo folder with a Config.ini that points COM1 and the gateway at it. The
# user's own Config.ini is never touched.
#   ./scripts/demo.sh BUILD_DIR      (./run.sh --demo calls it after the build)
# METER_DEMO_DIR chooses another demo folder (default: demo/ in the checkout).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$1
console=$build/console/meter-console
sim=$build/tools/meter-sim/meter-sim
for program in "$console" "$sim"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is not built" >&2
    exit 1
  fi
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<'TEXT'
demo: no display to show the console on.
Run it on a virtual X server:      xvfb-run -a ./run.sh --demo
or with no window at all:          QT_QPA_PLATFORM=offscreen ./run.sh --demo
TEXT
  exit 1
fi

# The console's baud-rate list: 600 1200 2400 4800 9600 19200.
baud=2400
case $baud in
  600) baud_index=0 ;; 1200) baud_index=1 ;; 2400) baud_index=2 ;;
  4800) baud_index=3 ;; 9600) baud_index=4 ;; 19200) baud_index=5 ;;
esac

demo=${METER_DEMO_DIR:-$root/demo}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
link=$demo/COM1
log=$demo/meter-sim.log

: >"$log"  # no stale "ready" from an earlier run
"$sim" --pty "$link" --tcp 127.0.0.1:0 --baud "$baud" --delay 50 --verbose >"$log" 2>&1 &
sim_pid=$!
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}
trap stop_sim EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# meter-sim says "ready" once both ends are open.
for _ in $(seq 100); do
  grep -qx ready "$log" && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo: meter-sim did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
done
port=$(sed -n 's/^tcp 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$log" | head -n 1)
if ! grep -qx ready "$log" || [ -z "$port" ]; then
  echo "demo: meter-sim did not get ready; see $log" >&2
  exit 1
fi

# A copy, not a link: the console looks for Config.ini beside the file it runs
# from. Renaming into place also works while an older copy is still running.
cp "$console" "$demo/.meter-console.new"
mv -f "$demo/.meter-console.new" "$demo/meter-console"

cat >"$demo/.Config.ini.new" <<INI
[COM]
Port=0
BaudRate=$baud_index
ByteSize=0
Parity=0
StopBits=0
TimeOut=3000
[TCP]
Host=127.0.0.1
Port=$port
[Ports]
COM1=$link
INI
mv -f "$demo/.Config.ini.new" "$demo/Config.ini"

cat <<TEXT
Simulated meter bus (meter-sim), $baud baud:
  serial tab:  COM1 -> $link
  network tab: 127.0.0.1:$port
  bus log:     tail -f $log
Meters:
TEXT
sed -n 's/^meter /  /p' "$log"
echo "Starting the console from $demo ..."

status=0
"$demo/meter-console" || status=$?
exit "$status"
