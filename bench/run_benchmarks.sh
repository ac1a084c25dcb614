#!/usr/bin/env bash
# Builds the benchmarks in their own directory (build/bench, RelWithDebInfo as
# the native preset), runs them and the latency tool, and prints one table of
# every figure. Exits nonzero if a criterion fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
REPETITIONS=${REPETITIONS:-5}

missing=()
for package in libbenchmark-dev libboost-dev; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >&2
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_WINDOWS_BUILD_DIR= >&2
cmake --build "$build" --target korvel_bench korvel_latency korvel_sim_line >&2

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
"$build/bench/korvel_bench" --benchmark_repetitions="$REPETITIONS" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_out="$results/bench.json" --benchmark_out_format=json >&2
# Its verdicts travel in the JSON; the report decides the exit status.
"$build/bench/korvel_latency" "$results/latency.json" >&2 || true
"$build/bench/korvel_sim_line" "$results/sim_line.json" >&2 || true

echo "Machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p'), $(free -g | awk '/^Mem:/ {print $2}') GiB," \
  "$(. /etc/os-release && echo "$PRETTY_NAME"), $(c++ --version | head -1)"
echo
python3 bench/report.py "$results/bench.json" "$results/latency.json" "$results/sim_line.json"
