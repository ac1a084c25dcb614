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
