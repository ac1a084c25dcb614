#!/usr/bin/env bash
# Builds everything and runs every test: the Windows DLL, the sanitizer
# build (the native build following in the background), the threaded tests
# under ThreadSanitizer, the static analysis, the fuzzers, the native suite
# (unit, pseudo-terminal, tool, packaging, soak and Wine tests), and last the
# library and tools in a virtual machine on the kernel's own serial drivers,
# whose CTest summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-20}

# Each step's heading says how long the run has taken so far.
step() {
  echo "== $* (at $((SECONDS / 60))m$((SECONDS % 60))s)"
}

scripts/install-deps.sh

step "Windows DLL and korvel.exe with their PDBs (clang and lld over MinGW-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

step "Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize

# The native build goes on at the lowest priority while the sanitizer tests,
# the analysis and the fuzzers run: the tests mostly wait on the line, so the
# processor time they leave builds it, and they still come first whenever
# they need the processor.
native_build_log=build/native-build.log
cmake --preset native >/dev/null
nice -n 19 cmake --build --preset native >"$native_build_log" 2>&1 &
native_build=$!
trap 'kill "$native_build" 2>/dev/null || true' EXIT

ctest --preset sanitize

step "Calls from several threads under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

step "Static analysis of the library (clang-tidy, cppcheck)"
scripts/analyze.sh

step "Fuzzers, ${FUZZ_SECONDS} s each"
fuzz/run_fuzzers.sh "$FUZZ_SECONDS"

step "Native library, unit, pseudo-terminal, tool, packaging and Wine tests"
if ! wait "$native_build"; then
  cat "$native_build_log"
  echo "the native build failed"
  exit 1
fi
tail -n 1 "$native_build_log"
ctest --preset native --label-exclude vm

step "Linux library and tools in a virtual machine (8250 UART and FTDI USB serial drivers)"
ctest --preset native --label-regex vm
echo "== every step passed in $((SECONDS / 60))m$((SECONDS % 60))s"
