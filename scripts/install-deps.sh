#!/usr/bin/env bash
# Installs, as root on Debian, every package the builds and tests need.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format clang-tidy cppcheck
  libbenchmark-dev libboost-dev python3
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix wine wine64 binutils-mingw-w64-x86-64
  llvm lld socat zip unzip pkgconf osslsigncode openssl
  python3-venv python3-setuptools python3-wheel python3-build mono-mcs mono-runtime
)

# Another apt-get or dpkg (an unattended upgrade, a second install) may hold
# the package manager's locks, at times for minutes: wait for it, saying so,
# for at most KORVEL_APT_LOCK_WAIT seconds (default 600), trying again every
# KORVEL_APT_LOCK_POLL seconds (default 5), instead of failing at once.
lock_wait=${KORVEL_APT_LOCK_WAIT:-600}
lock_poll=${KORVEL_APT_LOCK_POLL:-5}
# What apt-get says when another process holds a lock (the dpkg frontend
# lock, the package lists); not its words for a user who is not root.
lock_messages=(-e 'Could not get lock' -e 'is another process using it')

apt_get() {
  local errors status deadline=$((SECONDS + lock_wait)) told=
  errors=$(mktemp)
  while :; do
    status=0
    apt-get "$@" 2>"$errors" || status=$?
    if [ "$status" -eq 0 ] || ! grep -q "${lock_messages[@]}" "$errors"; then
      break
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "install-deps: the package manager was still busy after ${lock_wait} s;" \
        "run this again once the other installation has finished" >>"$errors"
      break
    fi
    if [ -z "$told" ]; then
      echo "install-deps: another apt-get or dpkg is running" \
        "($(grep -o -m1 'held by process [0-9]* ([^)]*)' "$errors" || echo 'it holds the lock'));" \
        "waiting up to ${lock_wait} s for it to finish" >&2
      told=1
    fi
    sleep "$lock_poll"
  done
  cat "$errors" >&2
  rm -f "$errors"
  return "$status"
}

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -q
  apt_get install -y -q "${missing[@]}"
fi
