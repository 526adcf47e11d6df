#!/usr/bin/env bash
# The installed console: `cmake --install` into a temporary prefix, the
# console started from there as an unprivileged user who cannot write the
# prefix, its Config.ini saved under that user's XDG folder; then the .deb
# that `cpack -G DEB` builds, read back with dpkg-deb.
set -euo pipefail
build=${METER_BUILD_DIR:?}
skip=77
# A sanitizer build is not what gets installed or packaged.
[ -z "${METER_SANITIZE:-}" ] || { echo "sanitizer build: nothing to install"; exit $skip; }
[ "$(id -u)" -eq 0 ] || { echo "needs root to run the console as another user"; exit $skip; }
id nobody >/dev/null 2>&1 || { echo "no user nobody"; exit $skip; }

work=$(mktemp -d /tmp/meter-install-XXXXXX)
console=
cleanup() {
  [ -n "$console" ] && kill -KILL "$console" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/meter-console bin/meter-sim share/applications/meter-console.desktop \
         share/icons/hicolor/scalable/apps/meter-console.svg; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
grep -q '^Exec=meter-console$' "$prefix/share/applications/meter-console.desktop" || fail "desktop entry"
grep -q '^Icon=meter-console$' "$prefix/share/applications/meter-console.desktop" || fail "desktop icon"
chmod -R go-w "$prefix"
chmod 755 "$work"

home=$work/home
mkdir -p "$home"
chown nobody "$home"
nobody_gid=$(id -g nobody)
run_as_nobody() {
  exec setpriv --reuid=nobody --regid="$nobody_gid" --clear-groups \
    env -i HOME="$home" XDG_CONFIG_HOME="$home/cfg" XDG_STATE_HOME="$home/state" \
    QT_QPA_PLATFORM=offscreen PATH=/usr/bin:/bin "$@"
}
setpriv --reuid=nobody --regid="$nobody_gid" --clear-groups test -w "$prefix/bin" \
  && fail "nobody can write the prefix"

run_as_nobody "$prefix/bin/meter-console" >"$work/console.out" 2>&1 &
console=$!
# Up once it catches SIGTERM (bit 15 of SigCgt): the window stands then.
up=
for _ in $(seq 1 200); do
  kill -0 "$console" 2>/dev/null || { cat "$work/console.out"; fail "console ended at start"; }
  caught=$(awk '/^SigCgt:/ {print $2}' "/proc/$console/status" 2>/dev/null || true)
  if [ -n "$caught" ] && (( (0x$caught >> 14) & 1 )); then up=1; break; fi
  sleep 0.1
done
[ -n "$up" ] || { cat "$work/console.out"; fail "console did not come up"; }
sleep 0.5
kill -0 "$console" 2>/dev/null || { cat "$work/console.out"; fail "console did not stay up"; }
kill -TERM "$console"
status=0
wait "$console" || status=$?
console=
[ "$status" -eq 0 ] || { cat "$work/console.out"; fail "console exit status $status"; }

config=$home/cfg/meter-console/Config.ini
[ -f "$config" ] || { find "$home" "$prefix" -ls; fail "no $config"; }
[ "$(stat -c %U "$config")" = nobody ] || fail "Config.ini not the user's"
grep -qx 'Port=0' "$config" && grep -qx 'Host=192.168.1.100' "$config" || fail "Config.ini: $(cat "$config")"
[ -z "$(find "$prefix" -name Config.ini)" ] || fail "Config.ini written into the prefix"

# The package.
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.out" 2>&1) || { cat "$work/cpack.out"; fail "cpack"; }
deb=$(ls "$work"/pkg/*.deb)
info=$(dpkg-deb --info "$deb")
echo "$info" | grep -q '^ Package: meter-console$' || fail "package name: $info"
echo "$info" | grep -Eq '^ Depends: .*libqt6widgets6' || fail "no Qt dependency: $info"
contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/meter-console ./usr/bin/meter-sim ./usr/share/applications/meter-console.desktop \
         ./usr/share/icons/hicolor/scalable/apps/meter-console.svg; do
  echo "$contents" | grep -q " $f\$" || fail "not in the package: $f"
done
echo "installed console ran as nobody and saved $config; $(basename "$deb") built"
