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

# The virtual-machine tests: QEMU without what it recommends (no firmware for
# other machines, no graphics), busybox for the guest, depmod and cpio for its
# initramfs. The guest's kernel is Debian's own package, which the tests fetch
# into the build directory with apt-get download: the package lists must be
# there for that.
vm_packages=(qemu-system-x86 busybox-static kmod cpio)

# Prints the packages of those given that are not installed.
not_installed() {
  local package status
  for package in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || echo "$package"
  done
}

mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_vm < <(not_installed "${vm_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_vm[@]} -gt 0 ] ||
  ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -q
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt_get install -y -q "${missing[@]}"
  fi
  if [ ${#missing_vm[@]} -gt 0 ]; then
    echo "installing: ${missing_vm[*]}"
    apt_get install -y -q --no-install-recommends "${missing_vm[@]}"
  fi
fi
