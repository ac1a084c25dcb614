#!/usr/bin/env bash
# Builds everything natively and runs a session against korvel-sim, the
# simulated adapter: version, line reset, a command whose bytes need stuffing,
# the frames that crossed the line, then a command to a silent adapter. Last,
# korvel.exe scans a throwaway Wine prefix and finds korvel-sim on COM1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
# korvel.exe and the DLL beside it, for the scan under Wine.
cmake --preset windows >/dev/null
cmake --build --preset windows --target korvel korvel_library_copy >/dev/null

korvel=build/native/tools/korvel/korvel
sim=build/native/tools/korvel-sim/korvel-sim
korvel_exe=build/windows/tools/korvel/korvel.exe
# The first of the commands given that exists. (Not `command -v ... | head`:
# with pipefail, head closing the pipe early fails the script at random.)
first_command() {
  local candidate
  for candidate in "$@"; do
    if command -v "$candidate"; then
      return 0
    fi
  done
  return 1
}
# Debian keeps wine64 and the server off PATH.
wine64=$(first_command /usr/lib/wine/wine64 /usr/lib64/wine/wine64 wine64)
wineserver=$(first_command /usr/lib/wine/wineserver /usr/lib64/wine/wineserver wineserver)
work=$(mktemp -d)
sim_pid=
wine_up=
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    sim_pid=
  fi
}
stop_wine() {
  if [ -n "$wine_up" ]; then
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    wine_up=
  fi
}
trap 'stop_sim; stop_wine; rm -rf "$work"' EXIT

# Starts korvel-sim with the given options and waits for its port.
start_sim() {
  "$sim" --wire --port-file "$work/port" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    sleep 0.05
  done
  port=$(cat "$work/port")
}

echo "== korvel-sim answers 02 03 7D 10 with 00 7D 02 03"
start_sim --reply "02 03 7D 10=00 7D 02 03"
echo "port: $port"
echo
"$korvel" -v version "$port"
echo
"$korvel" -v reset "$port"
echo
"$korvel" -v exec "$port" "02 03 7D 10"
stop_sim
echo
echo "== What crossed the line (korvel-sim's log)"
cat "$work/sim.log"

echo
echo "== A silent adapter: three attempts, then result 4"
start_sim --silent
"$korvel" -v exec "$port" "02 03 7D 10" || echo "(exit status $?)"
stop_sim
echo
cat "$work/sim.log"

echo
echo "== korvel.exe scan under Wine, korvel-sim on COM1 of a throwaway prefix"
# Nothing of this machine's Wine is touched: a prefix of its own, the server's
# files below $work, and one server for the whole scan (-p60: it goes by
# itself should the demo die), since a new server would link COM1 back to
# the port Wine found for it, /dev/ttyS0.
export WINEPREFIX="$work/prefix" TMPDIR="$work/tmp" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir "$WINEPREFIX" "$TMPDIR"
wine_up=1
# Its stderr is dropped: it lists every object it still holds as it exits.
"$wineserver" -p60 >/dev/null 2>&1
"$wine64" wineboot -i >/dev/null 2>&1
# The ports a scan probes, in its order.
serialcomm() {
  "$wine64" reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' | tr -d '\r' | grep REG_SZ || true
}
echo "SERIALCOMM of the new prefix:"
serialcomm
# COM1, which Wine lists first, goes to korvel-sim.
start_sim --identify --wine-com 1
com1=$(readlink "$WINEPREFIX/dosdevices/com1")
echo "COM1 now leads to $com1 (korvel-sim's $port); SERIALCOMM:"
listing=$(serialcomm)
echo "$listing"
# The scan stops at the first port that identifies itself. Should that not be
# korvel-sim, whatever COM1 was (here perhaps this machine's console) is left
# alone.
first=$(echo "$listing" | awk 'NR == 1 {print $1, $3}')
if [ "$com1" != "/dev/$port" ] || [ "$first" != '\Device\KorvelSim1 COM1' ]; then
  echo "not scanning: the first port listed does not lead to korvel-sim" >&2
  exit 1
fi
echo
"$wine64" "$korvel_exe" -v scan || echo "(exit status $?)"
stop_sim
echo
cat "$work/sim.log"
echo "SERIALCOMM once korvel-sim has stopped:"
serialcomm
