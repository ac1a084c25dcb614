#!/usr/bin/env bash
# Builds everything and runs every test: the Windows DLL, the sanitizer
# build, the threaded tests under ThreadSanitizer, the static analysis, the
# fuzzers, the native suite (unit, pseudo-terminal, tool, packaging, soak and
# Wine tests), and last the library and tools in a virtual machine on the
# kernel's own serial drivers, whose CTest summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

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
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native --label-exclude vm

step "Linux library and tools in a virtual machine (8250 UART and FTDI USB serial drivers)"
ctest --preset native --label-regex vm
echo "== every step passed in $((SECONDS / 60))m$((SECONDS % 60))s"
