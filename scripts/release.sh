#!/usr/bin/env bash
# Makes the release archives in build/release: korvel_dll-VERSION-win64.zip
# from the windows preset, korvel_dll-VERSION-linux-x86_64.tar.gz from the
# native preset (the trees the test command builds and tests), the Korvel
# NuGet package and its symbols package, and SHA256SUMS beside them.
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

echo "== NuGet package"
# Korvel.VERSION.nupkg and its symbols, Korvel.VERSION.snupkg, around the
# native libraries exactly as the archives ship them, with the version CMake
# took from project(... VERSION).
nuget_work=$(mktemp -d)
unzip -q -j "$out"/korvel_dll-*-win64.zip '*/bin/korvel_dll.dll' -d "$nuget_work"
tar -xzf "$out"/korvel_dll-*-linux-x86_64.tar.gz -C "$nuget_work" --strip-components=2 \
  --wildcards '*/lib/libkorvel_dll.so*'
nuget_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
bindings/dotnet/pack.sh "$out" "$nuget_work/libkorvel_dll.so" "$nuget_work/korvel_dll.dll" \
  "$nuget_version" "$nuget_work/artifacts"
rm -rf "$nuget_work"

(cd "$out" && sha256sum korvel_dll-*.zip korvel_dll-*.tar.gz Korvel.*.nupkg Korvel.*.snupkg >SHA256SUMS)
ls -l "$out"
