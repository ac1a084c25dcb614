#!/usr/bin/env bash
# Installs, as root on Debian, every package the builds and tests need.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format clang-tidy cppcheck
  libbenchmark-dev libboost-dev python3
  googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix wine wine64 binutils-mingw-w64-x86-64
  llvm lld socat zip unzip pkgconf
  python3-venv python3-setuptools python3-wheel python3-build mono-mcs mono-runtime
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

# The virtual-machine tests: QEMU without what it recommends (no firmware for
# other machines, no graphics), busybox for the guest, depmod and cpio for its
# initramfs. The guest's kernel is Debian's own package, which the tests fetch
# into the build directory with apt-get download: the package lists must be
# there for that.
vm_packages=(qemu-system-x86 busybox-static kmod cpio)
missing=()
for package in "${vm_packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ] || ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
