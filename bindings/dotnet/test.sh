#!/usr/bin/env bash
# Builds Korvel.cs with its test and the sample under Mono, maps "korvel_dll"
# to the library under test with a dllmap, and runs both against korvel-sim.
#   test.sh LIBRARY KORVEL_SIM
set -euo pipefail
library=$1 sim=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pids=()
trap 'kill -TERM "${sim_pids[@]}" 2>/dev/null || true; wait; rm -rf "$work"' EXIT

# Starts korvel-sim with the given options and waits for its port file.
start_sim() {
  local port_file=$work/port-${#sim_pids[@]}
  "$sim" --port-file "$port_file" "$@" >/dev/null 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$port_file" ] && break
    sleep 0.05
  done
}

for program in tests/KorvelTest Sample; do
  exe=$work/$(basename "$program").exe
  mcs -warnaserror -out:"$exe" "$here/Korvel.cs" "$here/$program.cs"
  printf '<configuration>\n  <dllmap dll="korvel_dll" target="%s" />\n</configuration>\n' \
    "$library" >"$exe.config"
done

start_sim --reply "02 03 7D 10=00 7D 02 03"
start_sim --silent
port=$(<"$work/port-0") silent_port=$(<"$work/port-1")
timeout 120 mono "$work/KorvelTest.exe" "$port" "$silent_port"

output=$(timeout 30 mono "$work/Sample.exe" "$port")
expected="port $port: KORVEL-SIM 1.0
reply: 00"
[ "$output" = "$expected" ] || { echo "the sample printed: $output"; exit 1; }
echo "ok   the sample's session"

# A name the binding refuses ends in its message and status 2, not a trace.
status=0
output=$(timeout 30 mono "$work/Sample.exe" ../tty 2>&1) || status=$?
if [ "$status" != 2 ] || [[ $output != "not a port name "* ]] || [[ $output == *" at "* ]]; then
  echo "the sample exited $status with: $output"
  exit 1
fi
echo "ok   the sample refuses a bad port name"
