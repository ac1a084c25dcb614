#!/usr/bin/env bash
# Builds the tools and runs a session against korvel-sim, the simulated
# adapter: the ports a scan would probe, version, line reset, a command whose
# bytes need stuffing, the frames that crossed the line, a command to a
# silent adapter, the same adapter from Python. Last, korvel.exe scans a
# throwaway Wine prefix and finds korvel-sim on COM1. Each command is shown
# before its output; the end says what to try next.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
work=$(mktemp -d)
sim_pid=
wine_up=

say() { printf '\n== %s\n' "$*"; }

# A command as one would type it: words with spaces or quotes in quotes.
shown() {
  local word text=
  for word in "$@"; do
    if [[ $word =~ [[:space:]\'\"\$\\\(\)] ]]; then
      word="'${word//\'/\'\\\'\'}'"
    fi
    text+="${text:+ }$word"
  done
  printf '%s' "$text"
}

# Shows the command, then runs it; a failure is shown, not fatal.
run() {
  printf '$ %s\n' "$(shown "$@")"
  "$@" || echo "(exit status $?)"
}

# Builds the targets, showing how far the build has come: a line that
# counts on a terminal, otherwise a line every 10 s. The whole build output
# is kept and shown if the build fails.
build() {
  local preset=$1 log=$work/build-$1.log line shown_at=$SECONDS
  shift
  printf '$ %s\n' "cmake --build --preset $preset --target $*"
  if ! cmake --build --preset "$preset" --target "$@" 2>&1 | while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
    if [ -t 1 ]; then
      printf '\r  %s of %s build steps' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
    elif [ $((SECONDS - shown_at)) -ge 10 ]; then
      echo "  ${BASH_REMATCH[1]} of ${BASH_REMATCH[2]} build steps"
      shown_at=$SECONDS
    fi
  done; then
    echo
    tail -n 40 "$log"
    echo "the build failed; its whole output was in $log" >&2
    exit 1
  fi
  [ ! -t 1 ] || printf '\r%-40s\r' ''
}

configure() {
  printf '$ %s\n' "cmake --preset $1"
  cmake --preset "$1" >"$work/configure-$1.log" 2>&1 || {
    cat "$work/configure-$1.log"
    exit 1
  }
}

say "Installing what is missing (apt-get, as root)"
printf '$ %s\n' scripts/install-deps.sh
scripts/install-deps.sh >&2
say "Building the tools: a minute or two on a fresh machine, seconds once built"
configure native
build native korvel korvel-sim korvel_dll
# korvel.exe and the DLL beside it, for the scan under Wine.
configure windows
build windows korvel korvel_library_copy
echo "built in $((SECONDS - started)) s"

korvel=build/native/tools/korvel/korvel
sim=build/native/tools/korvel-sim/korvel-sim
korvel_exe=build/windows/tools/korvel/korvel.exe
library=build/native/win_dll/korvel_dll/libkorvel_dll.so
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
  printf '$ %s &\n' "$(shown "$sim" --wire "$@")"
  "$sim" --wire --port-file "$work/port" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    sleep 0.05
  done
  port=$(cat "$work/port")
  echo "korvel-sim serves on $port"
}

say "The serial ports a scan would probe, and those it leaves out (pseudo-terminals among them)"
run "$korvel" -v ports

say "korvel-sim answers 02 03 7D 10 with 00 7D 02 03"
start_sim --reply "02 03 7D 10=00 7D 02 03"
echo
run "$korvel" -v version "$port"
echo
run "$korvel" -v reset "$port"
echo
run "$korvel" -v exec "$port" "02 03 7D 10"

say "The same adapter from Python (the korvel package, straight from bindings/python)"
script='import korvel, sys
with korvel.Interface(sys.argv[1]) as adapter:
    print(adapter.version(), adapter.execute(bytes([2, 3, 0x7D, 0x10])).hex(" "))'
run env PYTHONPATH=bindings/python KORVEL_LIBRARY="$library" python3 -c "$script" "$port"
stop_sim

say "What crossed the line (korvel-sim's log)"
cat "$work/sim.log"

say "A silent adapter: three attempts, then result 4"
start_sim --silent
run "$korvel" -v exec "$port" "02 03 7D 10"
stop_sim
echo
cat "$work/sim.log"

say "korvel.exe scan under Wine, korvel-sim on COM1 of a throwaway prefix"
# Nothing of this machine's Wine is touched: a prefix of its own, the server's
# files below $work, and one server for the whole scan (-p60: it goes by
# itself should the demo die), since a new server would link COM1 back to
# the port Wine found for it, /dev/ttyS0.
export WINEPREFIX="$work/prefix" TMPDIR="$work/tmp" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir "$WINEPREFIX" "$TMPDIR"
wine_up=1
echo "starting Wine in a new prefix (wineboot -i, about 10 s)..."
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
run "$wine64" "$korvel_exe" -v scan
stop_sim
echo
cat "$work/sim.log"
echo "SERIALCOMM once korvel-sim has stopped:"
serialcomm

say "Done in $((SECONDS - started)) s. What to try next"
next_step() { printf '  %-56s # %s\n' "$1" "$2"; }
next_step "$sim --wire" "a simulated adapter; it prints its port, say pts/4"
next_step "$korvel -v version pts/4" "in another terminal, with that port"
next_step "$korvel exec pts/4 0A0B" "any command, in hex; the reply in hex"
next_step "$korvel -v ports" "the serial ports a scan probes, and why others not"
next_step "$korvel decode '02 00 30 01 D9 28 03'" "a frame captured on the line"
next_step "scripts/test.sh" "every test: unit, pseudo-terminals, Wine, bindings"
echo "  From Python: PYTHONPATH=bindings/python KORVEL_LIBRARY=$library python3"
echo "    >>> import korvel; korvel.Interface(\"pts/4\").version()"
echo "The tools are described in docs/tools.md, the Python package in docs/python.md."
