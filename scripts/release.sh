#!/usr/bin/env bash
# Makes the release archives in build/release: korvel_dll-VERSION-win64.zip
# from the windows preset, korvel_dll-VERSION-linux-x86_64.tar.gz from the
# native preset (the trees the test command builds and tests), and
# SHA256SUMS beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/release

scripts/install-deps.sh

for preset in windows native; do
  echo "== $preset preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== Archives"
rm -rf "$out"
for preset in windows native; do
  cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
done
rm -rf "$out/_CPack_Packages"
(cd "$out" && sha256sum korvel_dll-*.zip korvel_dll-*.tar.gz >SHA256SUMS)
ls -l "$out"
