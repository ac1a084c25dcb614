#!/usr/bin/env bash
# Builds the link-layer fuzzers with clang into build/fuzz and runs each for
# SECONDS (default 30) on a scratch copy of its seed corpus, so the checked-in
# seeds stay as they are. Prints one line per fuzzer with the runs executed
# and exits nonzero if any fuzzer reports a finding; the input that caused it
# is kept under build/fuzz/artifacts/<fuzzer>/ and the log beside it.
#
# Environment: FUZZ_CXX picks the compiler (default clang++-14).
set -euo pipefail

seconds=${1:-30}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$repo/build/fuzz
fuzzers=(receiver_fuzzer encoder_fuzzer)
# Room for a frame that overruns the reply accumulator, with chunk controls.
declare -A max_len=([receiver_fuzzer]=2048 [encoder_fuzzer]=512)
# A single input that takes this long means the code under test hangs.
per_input_timeout_s=10

cmake -S "$repo/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-14}" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

# The runs libFuzzer reports at the end, or after a finding the last count it
# printed on the way (0 if it stopped among the seeds).
runs_in() {
  local log=$1 runs
  runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  if [[ -z $runs ]]; then
    runs=$(grep -oE '^#[0-9]+' "$log" | tail -n1 | tr -d '#' || true)
  fi
  echo "${runs:-0}"
}

failed=0
for name in "${fuzzers[@]}"; do
  work=$build/work/$name
  artifacts=$build/artifacts/$name
  log=$build/$name.log
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  cp "$repo/fuzz/corpus/$name/"* "$work/"
  if "$build/$name" -max_total_time="$seconds" -max_len="${max_len[$name]}" \
    -timeout="$per_input_timeout_s" -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" >"$log" 2>&1; then
    verdict="no findings"
  else
    verdict="FINDING (see $log and $artifacts/)"
    failed=1
  fi
  echo "$name: $(runs_in "$log") runs (budget ${seconds} s), $verdict"
done
exit "$failed"
