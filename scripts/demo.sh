#!/usr/bin/env bash
# Builds the Linux library and runs a session against the simulated adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target korvel_demo
./build/native/demo/korvel_demo
