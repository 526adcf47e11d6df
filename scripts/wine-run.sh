#!/usr/bin/env bash
# Runs one cross-built test program under Wine; CTest puts it in front of each
# program of the Windows build (CMAKE_CROSSCOMPILING_EMULATOR).
#   METER_WINE_SIM=tcp   start meter-sim on 127.0.0.1 first; the program finds
#                        its port in METER_SIM_TCP_PORT
#   METER_WINE_SIM=pty   start meter-sim on a pty and map COM1 to it; the
#                        program finds the device in METER_COM1_DEVICE, set
#                        only once dosdevices/com1 is seen pointing there
# WINEPREFIX must be set; a missing prefix is created. The wineserver is left
# running for the next program (./test.sh --windows stops it at the end).
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the prefix to run in}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts, no window system.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine=${METER_WINE:-/usr/lib/wine/wine64}
wineserver=${METER_WINESERVER:-/usr/lib/wine/wineserver64}
limit=${METER_WINE_TIMEOUT:-100}

sim_pid=
folder=$(mktemp -d /tmp/meter-wine-XXXXXX)

# Wine's mount manager maps COM ports afresh whenever the wineserver starts,
# from HKLM\Software\Wine\Ports first and then every /dev/ttyS* it finds.
# COM2 to COM255 are claimed empty, so the machine's own ports (here
# /dev/ttyS0, the system console) land beyond them, out of reach of any name
# the console or a test uses; COM1 is the given device or nothing.
write_ports() {
  local com1=$1 reg=$folder/ports.reg
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    printf '"COM1"="%s"\r\n' "$com1"
    for n in $(seq 2 255); do printf '"COM%d"=""\r\n' "$n"; done
  } >"$reg"
  "$wine" regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1
}

mapped=
cleanup() {
  # The pty goes with meter-sim, and its number may soon be another
  # program's: COM1 must not keep pointing there.
  # Registry first: a wineserver started meanwhile would map it again.
  if [ -n "$mapped" ]; then
    write_ports "" || true
    rm -f "$WINEPREFIX/dosdevices/com1"
  fi
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$folder"
}
trap cleanup EXIT

# A new prefix first maps COM1 to /dev/ttyS0: claim the ports before any
# program of ours runs in it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 120 "$wine" wineboot -i >/dev/null 2>&1
  write_ports ""
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com1"
fi

# Starts meter-sim with the given transports and waits for its "ready".
start_sim() {
  local sim=${METER_SIM_EXECUTABLE:-}
  if [ -z "$sim" ] || [ ! -x "$sim" ]; then
    echo "wine-run: meter-sim not found (METER_SIM_EXECUTABLE='$sim')" >&2
    exit 1
  fi
  "$sim" --instant "$@" ${METER_WINE_SIM_ARGS:-} >"$folder/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$folder/sim.out" && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "wine-run: meter-sim did not start:" >&2
  cat "$folder/sim.out" >&2
  exit 1
}

# COM1 to the pty, and a restarted wineserver so that the mapping is made.
map_com1() {
  local device=$1
  mapped=1
  write_ports "$device"
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  "$wine" cmd /c exit 0 >/dev/null 2>&1
  local link=$WINEPREFIX/dosdevices/com1
  for _ in $(seq 50); do
    if [ "$(readlink "$link" 2>/dev/null)" = "$device" ]; then
      for n in $(seq 2 19); do
        if [ -e "$WINEPREFIX/dosdevices/com$n" ] || [ -L "$WINEPREFIX/dosdevices/com$n" ]; then
          echo "wine-run: COM$n is mapped ($(readlink "$WINEPREFIX/dosdevices/com$n")); refusing to run" >&2
          exit 1
        fi
      done
      return 0
    fi
    sleep 0.1
  done
  echo "wine-run: COM1 maps to '$(readlink "$link" 2>/dev/null)', not $device; refusing to run" >&2
  exit 1
}

case "${METER_WINE_SIM:-}" in
  "") ;;
  tcp)
    start_sim --tcp 0
    port=$(sed -n 's/^tcp .*:\([0-9]*\)$/\1/p' "$folder/sim.out" | head -n 1)
    export METER_SIM_TCP_PORT=$port
    ;;
  pty)
    start_sim --pty "$folder/COM1"
    device=$(awk '$1 == "pty" { print $3; exit }' "$folder/sim.out")
    map_com1 "$device"
    export METER_COM1_DEVICE=$device
    ;;
  *)
    echo "wine-run: unknown METER_WINE_SIM '$METER_WINE_SIM'" >&2
    exit 2
    ;;
esac

# Wine passes the environment on; WINEPATH is not needed for static programs.
status=0
timeout --kill-after=5 "$limit" "$wine" "$@" || status=$?
if [ "$status" = 124 ]; then
  echo "wine-run: $1 did not end within $limit s" >&2
fi
exit "$status"
