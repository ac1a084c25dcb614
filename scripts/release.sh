#!/usr/bin/env bash
# Makes the release archives in build/release: korvel_dll-VERSION-win64.zip
# from the windows preset, korvel_dll-VERSION-linux-x86_64.tar.gz from the
# native preset (the trees the test command builds and tests), and
# SHA256SUMS beside them. korvel_dll.dll and korvel.exe are signed when a
# certificate is given (see the signing block and docs/releases.md).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/release

scripts/install-deps.sh

for preset in windows native; do
  echo "== $preset preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# --- Authenticode signatures -------------------------------------------
# With KORVEL_SIGN_PKCS12 and KORVEL_SIGN_PASSWORD_FILE (and optionally
# KORVEL_SIGN_TIMESTAMP_URL), scripts/sign-windows.sh signs the Windows files
# in the build tree, so that the zip, and the Windows wheel in it, carry the
# signed files; without them the release ships unsigned and says so. Signing
# rewrites the files, so they are linked afresh first: the archives carry
# this run's signature or none, never an earlier run's.
echo "== Authenticode signatures"
windows_files=(build/windows/win_dll/korvel_dll/korvel_dll.dll build/windows/tools/korvel/korvel.exe)
rm -f "${windows_files[@]}"
cmake --build --preset windows >/dev/null
signing=$(scripts/sign-windows.sh "${windows_files[@]}")
echo "$signing"
# The copies of the DLL beside the build's programs follow it.
cmake --build --preset windows >/dev/null
# -----------------------------------------------------------------------

echo "== Archives"
rm -rf "$out"
for preset in windows native; do
  cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
done
rm -rf "$out/_CPack_Packages"
(cd "$out" && sha256sum korvel_dll-*.zip korvel_dll-*.tar.gz >SHA256SUMS)
ls -l "$out"
grep '^UNSIGNED' <<<"$signing" || true
