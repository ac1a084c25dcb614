#!/usr/bin/env bash
# The public header as the library's users meet it: included on its own, as
# C11 and as C++17, by the native compilers, by MinGW-w64 and by clang for
# the MSVC target (freestanding: the MSVC runtime's headers are not here),
# with every warning an error.
#   public_header_test.sh HEADER_DIR
set -euo pipefail
header_dir=$1
mingw=x86_64-w64-mingw32
msvc=(clang --target=x86_64-pc-windows-msvc -ffreestanding)

failed=0
# check COMPILER [OPTIONS...]
check() {
  echo "$*"
  echo '#include <korvel_dll.h>' |
    "$@" -Wall -Wextra -pedantic -Werror -fsyntax-only -I"$header_dir" - || failed=1
}

check gcc -x c -std=c11
check g++ -x c++ -std=c++17
check $mingw-gcc-posix -x c -std=c11
check $mingw-g++-posix -x c++ -std=c++17
check "${msvc[@]}" -x c -std=c11
check "${msvc[@]}" -x c++ -std=c++17

# A 32-bit Windows program is stopped with a message, not with undefined
# symbols at link time.
message=$(echo '#include <korvel_dll.h>' | clang --target=i686-pc-windows-msvc -ffreestanding \
  -x c -fsyntax-only -I"$header_dir" - 2>&1) && failed=1
grep -q '64-bit DLL' <<<"$message" || { echo "32-bit Windows: $message"; failed=1; }
exit "$failed"
