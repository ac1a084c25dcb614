#!/usr/bin/env bash
# Static analysis of the library sources in win_dll/korvel_dll: clang-tidy
# with the checks of .clang-tidy, and cppcheck. Exits nonzero on any finding.
#
# The Linux sources are analyzed with the compile commands of a configure in
# build/analyze. The Win32-only sources (those the Linux build does not
# compile) are analyzed for the x86_64-w64-mingw32 target against the
# MinGW-w64 headers. The test backends (the scripted fake port, the fixed
# port list) are in tests/support, not here.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/analyze
LIBRARY=win_dll/korvel_dll
MINGW_CXX=x86_64-w64-mingw32-g++-posix

scripts/install-deps.sh

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DKORVEL_BUILD_TESTS=OFF >/dev/null
compiled=$(grep -o "\"file\": \"$PWD/$LIBRARY/[^\"]*\"" "$BUILD/compile_commands.json" |
  sed "s|\"file\": \"$PWD/||; s|\"$||" | sort -u)

linux_sources=()
win32_sources=()
for source in $(git ls-files "$LIBRARY/*.cpp"); do
  if grep -qxF "$source" <<<"$compiled"; then
    linux_sources+=("$source")
  else
    win32_sources+=("$source")
  fi
done

# The C++ library headers of the MinGW-w64 compiler; clang brings its own
# compiler headers.
mingw_args=(--extra-arg=--target=x86_64-w64-mingw32)
for dir in $(echo | "$MINGW_CXX" -std=c++20 -E -x c++ - -v 2>&1 |
  sed -n '/#include <...> search starts here/,/End of search list/p' | grep '/c++'); do
  mingw_args+=("--extra-arg=-isystem$dir")
done

status=0
echo "== clang-tidy: ${#linux_sources[@]} Linux sources, ${#win32_sources[@]} Win32 sources"
clang-tidy-14 --quiet -p "$BUILD" "${linux_sources[@]}" 2>/dev/null || status=1
clang-tidy-14 --quiet "${mingw_args[@]}" "${win32_sources[@]}" \
  -- -std=c++20 -fno-exceptions -fno-rtti -I"$LIBRARY" 2>/dev/null || status=1

# Suppressed: constParameter (the interface handle is an opaque pointer
# typedef; a pointer to const would be another type), the C-style cast that
# the public C header's MDB_IF_INVALID_HANDLE expands to, and the unused
# members of the kernel's directory entry, which only give it its layout.
echo "== cppcheck"
cppcheck --quiet --std=c++20 --language=c++ --library=posix --library=windows \
  --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
  --suppress=constParameter \
  --suppress="cstyleCast:$LIBRARY/interface_open_close.cpp" \
  --suppress="unusedStructMember:$LIBRARY/port/port_list_sysfs.cpp" \
  --template='{file}:{line}: {severity}: {message} [{id}]' \
  -I "$LIBRARY" "${linux_sources[@]}" "${win32_sources[@]}" || status=1

if [ "$status" -ne 0 ]; then
  echo "analysis: findings above"
else
  echo "analysis: no findings"
fi
exit "$status"
