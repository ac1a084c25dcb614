#!/usr/bin/env bash
# Builds everything natively and runs a session against korvel-sim, the
# simulated adapter: version, line reset, a command whose bytes need stuffing,
# the frames that crossed the line, then a command to a silent adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

korvel=build/native/tools/korvel/korvel
sim=build/native/tools/korvel-sim/korvel-sim
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
