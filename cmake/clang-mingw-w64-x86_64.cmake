# Cross-compiling for 64-bit Windows with clang and lld over the MinGW-w64
# runtime: the headers and import libraries of mingw-w64-x86-64-dev, and
# libstdc++, libgcc and libssp of the posix-threads GCC for MinGW-w64. clang
# writes CodeView debug information, from which lld makes the PDB a Visual
# Studio debugger reads. The windows preset, so the shipped DLL and tools,
# builds with this file; cmake/mingw-w64-x86_64.cmake is the plain GCC one a
# user's MinGW-w64 build takes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVEL_WINDOWS_TRIPLE x86_64-w64-mingw32)

find_program(KORVEL_WINDOWS_CLANG NAMES clang-14 clang REQUIRED)
find_program(KORVEL_WINDOWS_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${KORVEL_WINDOWS_CLANG})
set(CMAKE_CXX_COMPILER ${KORVEL_WINDOWS_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${KORVEL_WINDOWS_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KORVEL_WINDOWS_TRIPLE})
set(CMAKE_RC_COMPILER ${KORVEL_WINDOWS_TRIPLE}-windres)
# llvm-strip keeps the debug directory that names the PDB.
find_program(CMAKE_STRIP NAMES llvm-strip-14 llvm-strip REQUIRED)
set(CMAKE_SYSROOT /usr/${KORVEL_WINDOWS_TRIPLE})

# clang does not recognise Debian's GCC directory (12-posix, with the thread
# model in its name): name its C++ headers and libraries outright.
file(GLOB KORVEL_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${KORVEL_WINDOWS_TRIPLE}/*-posix)
list(SORT KORVEL_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET KORVEL_MINGW_GCC_DIRS 0 KORVEL_MINGW_GCC_DIR)
if(NOT EXISTS ${KORVEL_MINGW_GCC_DIR}/libstdc++.a)
  message(FATAL_ERROR "No posix-threads GCC for MinGW-w64 under /usr/lib/gcc/${KORVEL_WINDOWS_TRIPLE}")
endif()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${KORVEL_MINGW_GCC_DIR}/include/c++
  ${KORVEL_MINGW_GCC_DIR}/include/c++/${KORVEL_WINDOWS_TRIPLE}
  ${KORVEL_MINGW_GCC_DIR}/include/c++/backward)
# That libstdc++ calls winpthread, which GCC's driver links by itself and
# clang's only when told (-pthread).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${KORVEL_MINGW_GCC_DIR} -pthread")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_WINDOWS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
