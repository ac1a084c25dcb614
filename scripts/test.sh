#!/usr/bin/env bash
# Builds everything and runs every test: the Windows DLL, the sanitizer
# build, the threaded tests under ThreadSanitizer, the static analysis, the
# fuzzers, and last the native suite (unit, pseudo-terminal, tool, packaging,
# soak and Wine tests), whose CTest summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

scripts/install-deps.sh

echo "== Windows DLL and korvel.exe with their PDBs (clang and lld over MinGW-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "== Native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

echo "== Calls from several threads under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

echo "== Static analysis of the library (clang-tidy, cppcheck)"
scripts/analyze.sh

echo "== Fuzzers, ${FUZZ_SECONDS} s each"
fuzz/run_fuzzers.sh "$FUZZ_SECONDS"

echo "== Native library, unit, pseudo-terminal, tool, packaging and Wine tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native
