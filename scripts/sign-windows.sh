#!/usr/bin/env bash
# Signs Windows programs and DLLs in place with an Authenticode signature
# (osslsigncode, SHA-256), with the certificate the environment names:
#   KORVEL_SIGN_PKCS12         a PKCS#12 file (.p12, .pfx): the code-signing
#                              certificate, its chain and its private key
#   KORVEL_SIGN_PASSWORD_FILE  a file holding that file's password, so that
#                              the password is never on a command line
#   KORVEL_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamping service,
#                              so that the signature outlives the certificate
# Without KORVEL_SIGN_PKCS12 it signs nothing, says so on one line starting
# with UNSIGNED, and succeeds. A certificate that is named but cannot be used
# fails the run and leaves every file as it was.
#   sign-windows.sh FILE...
set -euo pipefail
# The name Windows shows for the signed content.
description="korvel_dll"

[ $# -gt 0 ] || {
  echo "usage: sign-windows.sh FILE..." >&2
  exit 2
}
if [ -z "${KORVEL_SIGN_PKCS12:-}" ]; then
  echo "UNSIGNED: KORVEL_SIGN_PKCS12 is not set; $(basename -a "$@" | xargs) carry no Authenticode signature"
  exit 0
fi
fail() {
  echo "sign-windows.sh: $*" >&2
  exit 1
}
[ -r "$KORVEL_SIGN_PKCS12" ] || fail "cannot read the certificate $KORVEL_SIGN_PKCS12"
[ -r "${KORVEL_SIGN_PASSWORD_FILE:-}" ] ||
  fail "KORVEL_SIGN_PASSWORD_FILE must name a readable file with the certificate's password"
timestamp=()
if [ -n "${KORVEL_SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$KORVEL_SIGN_TIMESTAMP_URL")
fi

# Every file is signed into a scratch copy first; only when all are signed do
# the signed copies replace the originals.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=("$@")
for i in "${!files[@]}"; do
  osslsigncode sign -pkcs12 "$KORVEL_SIGN_PKCS12" -readpass "$KORVEL_SIGN_PASSWORD_FILE" \
    -h sha256 -n "$description" "${timestamp[@]}" -in "${files[i]}" -out "$work/$i" \
    >"$work/log" 2>&1 || fail "signing ${files[i]} failed: $(<"$work/log")"
done
for i in "${!files[@]}"; do
  # cat keeps the file's own mode and ownership.
  cat "$work/$i" >"${files[i]}"
  echo "signed: ${files[i]}${timestamp:+ (time-stamped by $KORVEL_SIGN_TIMESTAMP_URL)}"
done
