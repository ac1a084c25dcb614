#!/usr/bin/env bash
# Installs the library, then builds the example host against the installed
# package: natively (and runs it against a simulated adapter), and with
# MinGW-w64 against the installed Windows package when that build exists.
#   installed_package_test.sh SOURCE_DIR NATIVE_BUILD WINDOWS_BUILD RUN_WITH_ADAPTER
set -euo pipefail
source_dir=$1 native_build=$2 windows_build=$3 run_with_adapter=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$native_build" --prefix "$work/native" >/dev/null
for file in include/korvel_dll.h lib/libkorvel_dll.so bin/korvel bin/korvel-sim; do
  test -f "$work/native/$file" || { echo "not installed: $file"; exit 1; }
done
cmake -S "$source_dir/examples/host" -B "$work/native-example" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/native" >/dev/null
cmake --build "$work/native-example" >/dev/null
"$run_with_adapter" "$work/native-example/host_example"

if [ -f "$windows_build/win_dll/korvel_dll/korvel_dll.dll" ]; then
  cmake --install "$windows_build" --prefix "$work/windows" >/dev/null
  for file in bin/korvel_dll.dll bin/korvel.exe lib/libkorvel_dll.dll.a lib/korvel_dll.def \
    include/korvel_dll.h; do
    test -f "$work/windows/$file" || { echo "not installed: $file"; exit 1; }
  done
  cmake -S "$source_dir/examples/host" -B "$work/windows-example" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -Dkorvel_dll_DIR="$work/windows/lib/cmake/korvel_dll" >/dev/null
  cmake --build "$work/windows-example" >/dev/null
  # Read the whole dump first: grep -q stopping early would fail the pipe.
  imports=$(x86_64-w64-mingw32-objdump -p "$work/windows-example/host_example.exe")
  grep -q "DLL Name: korvel_dll.dll" <<<"$imports"
  echo "MinGW example host built against the installed package"
fi
