#!/usr/bin/env bash
# Builds Korvel.cs with its test and the sample under Mono, maps "korvel_dll"
# to the library under test with a dllmap, and runs both against korvel-sim.
#   test.sh LIBRARY KORVEL_SIM
set -euo pipefail
library=$1 sim=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    sim_pid=
  fi
}
trap 'stop_sim; rm -rf "$work"' EXIT

for program in tests/KorvelTest Sample; do
  exe=$work/$(basename "$program").exe
  mcs -warnaserror -out:"$exe" "$here/Korvel.cs" "$here/$program.cs"
  printf '<configuration>\n  <dllmap dll="korvel_dll" target="%s" />\n</configuration>\n' \
    "$library" >"$exe.config"
done

timeout 120 mono "$work/KorvelTest.exe" "$sim"

"$sim" --port-file "$work/port" --reply "0A 0B=00 11 22 33" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  sleep 0.05
done
port=$(cat "$work/port")
output=$(timeout 30 mono "$work/Sample.exe" "$port")
expected="port $port: KORVEL-SIM 1.0
reply: 00 11 22 33"
[ "$output" = "$expected" ] || { echo "the sample printed: $output"; exit 1; }
echo "ok   the sample's session"
