#!/usr/bin/env bash
# The release archives as a user meets them. CPack makes them from the native
# and windows build trees, as scripts/release.sh does; both are unpacked into
# a fresh folder, where the files must be exactly those of archive_files.txt,
# the list docs/releases.md shows. Then: the example host builds against the
# unpacked Linux tree with find_package and with pkg-config and runs against a
# simulated adapter, as do the unpacked korvel and the korvel wheel; the
# Linux library needs nothing but libc, and no glibc symbol newer than 2.17;
# the unpacked DLL exports its six functions at ordinals 1 to 6, imports only
# system DLLs and carries the version, as korvel.exe does, the Windows wheel
# carries it; the example host builds with MinGW-w64 against the unpacked
# Windows tree, with the DLL copied beside it. Each archive's README is its
# own. The shipped programs and libraries carry the hardening
# docs/releases.md lists, and korvel_dll.dll and korvel.exe the PDBs beside
# them. Without a windows build, only the Linux archive is checked.
#   installed_package_test.sh SOURCE_DIR NATIVE_BUILD WINDOWS_BUILD RUN_WITH_ADAPTER VERSION
set -euo pipefail
source_dir=$1 native_build=$2 windows_build=$3 run_with_adapter=$4 version=$5
list=$source_dir/tests/packaging/archive_files.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "$*"
  exit 1
}

[[ $(<"$source_dir/docs/releases.md") == *"$(<"$list")"* ]] || fail "docs/releases.md does not show $list"

builds=("$native_build")
if [ -f "$windows_build/CPackConfig.cmake" ]; then
  builds+=("$windows_build")
fi
for build in "${builds[@]}"; do
  cpack --config "$build/CPackConfig.cmake" -B "$work/archives" >/dev/null
done
mkdir "$work/unpacked"
expected=()
for archive in "$work"/archives/korvel_dll-*; do
  name=$(basename "$archive")
  grep -qx "$name" "$list" || fail "$name is not in $list"
  # The files listed under the archive's name, up to the next name.
  expected+=("$(awk -v name="$name" '/^[^ ]/ { mine = $0 == name; next }
    mine { sub(/^ +/, ""); print }' "$list")")
  case $name in
  *.zip) unzip -q "$archive" -d "$work/unpacked" ;;
  *.tar.gz) tar -xzf "$archive" -C "$work/unpacked" ;;
  esac
done
diff <(printf '%s\n' "${expected[@]}" | LC_ALL=C sort) \
  <(cd "$work/unpacked" && find . -type f -printf '%P\n' -o -type l -printf '%P -> %l\n' |
    LC_ALL=C sort) || fail "the unpacked files (>) differ from $list (<)"

linux=$work/unpacked/korvel_dll-$version-linux-x86_64
grep -q "^# korvel_dll $version for Linux" "$linux/share/doc/korvel_dll/README.md" ||
  fail "the Linux archive carries the repository's README"
# Loads on every system with glibc 2.17 (the wheel's manylinux tag promises it).
library=$linux/lib/libkorvel_dll.so.$version
newest=$(objdump -T "$library" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -1)
[ "$(printf '%s\n' "$newest" 2.17 | sort -V | tail -1)" = 2.17 ] ||
  fail "the library needs glibc $newest: $(objdump -T "$library" | grep "GLIBC_$newest")"
needed=$(objdump -p "$library" | awk '/NEEDED/ { print $2 }' | xargs)
[ "$needed" = "libc.so.6" ] || fail "the library needs $needed"
example=$linux/share/doc/korvel_dll/examples/host
cmake -S "$example" -B "$work/find-package" -G Ninja -DCMAKE_PREFIX_PATH="$linux" >/dev/null
cmake --build "$work/find-package" >/dev/null
"$run_with_adapter" "$work/find-package/host_example"
export PKG_CONFIG_PATH=$linux/lib/pkgconfig
[ "$(pkg-config --modversion korvel_dll)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046 # the flags are words
cc -Wall -Wextra -Werror "$example/host_example.c" -o "$work/pkg-config-host" \
  $(pkg-config --cflags --libs korvel_dll) -Wl,-rpath,"$(pkg-config --variable=libdir korvel_dll)"
"$run_with_adapter" "$work/pkg-config-host"
"$run_with_adapter" "$linux/bin/korvel" version
# The wheel, around the archive's library, installed and run.
/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index --no-deps \
  "$linux/share/korvel_dll/bindings/python/korvel-$version-py3-none-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"
(cd "$work" && env -u KORVEL_LIBRARY "$run_with_adapter" "$work/venv/bin/python" -c \
  'import korvel, sys; print(korvel.Interface(sys.argv[1]).version())')
dynamic=$(readelf -d "$linux/lib/libkorvel_dll.so.$version")
grep -q 'SONAME.*\[libkorvel_dll\.so\.1\]' <<<"$dynamic" || fail "SONAME: $dynamic"

# Hardening of the Linux library and tools: read-only relocations resolved at
# load, the stack protector's and the checked calls' entry points in glibc,
# and the shadow-stack mark. The library's exports start with endbr64, the
# landing pad of indirect-branch tracking. (Each listing is read whole
# before grep: grep -q stopping early would fail the pipe.)
for file in "lib/libkorvel_dll.so.$version" bin/korvel bin/korvel-sim; do
  path=$linux/$file
  segments=$(readelf -lW "$path")
  grep -q GNU_RELRO <<<"$segments" || fail "$file: no RELRO segment"
  dynamic=$(readelf -d "$path")
  grep -Eq 'FLAGS.*(BIND_NOW| NOW)' <<<"$dynamic" || fail "$file: relocations not bound at load"
  symbols=$(objdump -T "$path")
  grep -q ' __stack_chk_fail$' <<<"$symbols" || fail "$file: no stack protector"
  grep -Eq ' __[a-z]+_chk$' <<<"$symbols" || fail "$file: no checked calls (_FORTIFY_SOURCE)"
  notes=$(readelf -n "$path")
  grep -q 'x86 feature:.*SHSTK' <<<"$notes" || fail "$file: no shadow-stack mark"
done
entries=$(objdump -T "$library" | awk '/ MDB_IF_/ { print $1, $NF }')
[ "$(wc -l <<<"$entries")" -eq 6 ] || fail "the library's exports: $entries"
while read -r address name; do
  first=$(objdump -d --start-address="0x$address" --stop-address="$((0x$address + 4))" "$library")
  grep -q 'endbr64' <<<"$first" || fail "$name does not start with endbr64"
done <<<"$entries"

[ ${#builds[@]} -eq 2 ] || exit 0
windows=$work/unpacked/korvel_dll-$version-win64
headers=$(x86_64-w64-mingw32-objdump -p "$windows/bin/korvel_dll.dll")
exports=$(awk '/^Ordinal Base/ { base = $3 } /Ordinal\/Name Pointer/ { table = 1; next }
  table && /^\t\[/ { gsub(/[][]/, " "); print $1 + base, $2; next } { table = 0 }' <<<"$headers" |
  sort -n | xargs)
[ "$exports" = "1 MDB_IF_ScanInterface 2 MDB_IF_OpenInterface 3 MDB_IF_CloseInterface \
4 MDB_IF_ExecCommand 5 MDB_IF_LineReset 6 MDB_IF_GetVersion" ] || fail "exports: $exports"
imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers" | sort | xargs)
[ "$imports" = "advapi32.dll kernel32.dll msvcrt.dll" ] || fail "imports: $imports"
# Nothing that starts, stops or steers threads, as a threads runtime would
# bring (with a TLS callback run on every thread of the host).
thread_control=$(grep -owE 'CreateThread|CreateRemoteThread(Ex)?|_beginthread(ex)?|ExitThread|TerminateThread|SuspendThread|ResumeThread|(Wow64)?[GS]etThreadContext|QueueUserAPC' \
  <<<"$headers" | sort -u | xargs || true)
[ -z "$thread_control" ] || fail "the DLL imports thread control: $thread_control"
wheel=$(unzip -l "$windows/bindings/python/korvel-$version-py3-none-win_amd64.whl")
grep -q ' korvel/korvel_dll.dll$' <<<"$wheel" || fail "no korvel_dll.dll in the Windows wheel"
# The version resource's texts are UTF-16. The whole list is read first: grep
# -q stopping early would fail the pipe.
for program in korvel_dll.dll korvel.exe; do
  texts=$(strings -el "$windows/bin/$program")
  grep -qx "$version" <<<"$texts" || fail "no version $version in $program's resource"
done

# Hardening of the DLL and korvel.exe: address space layout randomisation
# over 64 bits, no execution from data pages, no section both writable and
# executable; the stack protector, which the PDB shows as the "secure
# checks" of the functions that have it.
for program in korvel_dll.dll korvel.exe; do
  path=$windows/bin/$program
  characteristics=$(x86_64-w64-mingw32-objdump -p "$path" | sed -n '/^DllCharacteristics/,/^[A-Z]/p')
  for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
    grep -qw "$flag" <<<"$characteristics" || fail "$program is not $flag"
  done
  writable_code=$(llvm-readobj --sections "$path" | awk '/^ *Name:/ { name = $2 }
    /IMAGE_SCN_MEM_EXECUTE/ { x[name] = 1 } /IMAGE_SCN_MEM_WRITE/ { w[name] = 1 }
    END { for (s in x) if (s in w) print s }')
  [ -z "$writable_code" ] || fail "$program: writable and executable: $writable_code"
  pdb=$windows/bin/${program%.*}.pdb
  symbols=$(llvm-pdbutil dump --symbols "$pdb")
  grep -q 'flags = .*secure checks' <<<"$symbols" || fail "$program: no function with the stack protector"
done

# Symbols: each program's debug directory names its PDB, by file name, with
# the PDB's own GUID and age; the DLL's PDB describes the six exports.
pdb_guid() { # the debug directory's GUID bytes as the PDB prints the GUID
  read -ra b <<<"$1"
  echo "{${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-${b[*]:10:6}}" |
    tr -d ' '
}
for program in korvel_dll.dll korvel.exe; do
  pdb=${program%.*}.pdb
  directory=$(llvm-readobj --coff-debug-directory "$windows/bin/$program")
  guid=$(pdb_guid "$(sed -n 's/.*PDBGUID: (\(.*\))/\1/p' <<<"$directory")")
  age=$(awk '/PDBAge:/ { print $2 }' <<<"$directory")
  name=$(awk '/PDBFileName:/ { print $2 }' <<<"$directory")
  [ "$name" = "$pdb" ] || fail "$program's debug directory names ${name:-no PDB}"
  summary=$(llvm-pdbutil dump --summary "$windows/bin/$pdb")
  if [ "$(awk '/ GUID:/ { print $2 }' <<<"$summary")" != "$guid" ] ||
    [ "$(awk '/ Age:/ { print $2 }' <<<"$summary")" != "$age" ]; then
    fail "$pdb is not $program's (GUID $guid, age $age): $summary"
  fi
done
functions=$(llvm-pdbutil dump --symbols "$windows/bin/korvel_dll.pdb")
for export in MDB_IF_ScanInterface MDB_IF_OpenInterface MDB_IF_CloseInterface \
  MDB_IF_ExecCommand MDB_IF_LineReset MDB_IF_GetVersion; do
  grep -q "S_GPROC32 .* \`$export\`$" <<<"$functions" || fail "korvel_dll.pdb does not describe $export"
done

grep -q "^# korvel_dll $version for 64-bit Windows" "$windows/README.md" ||
  fail "the Windows archive carries the repository's README"
# The MinGW toolchain file confines package searches to its sysroot, so the
# package directory is named outright.
cmake -S "$windows/examples/host" -B "$work/mingw-example" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
  -Dkorvel_dll_DIR="$windows/lib/cmake/korvel_dll" >/dev/null
cmake --build "$work/mingw-example" >/dev/null
imports=$(x86_64-w64-mingw32-objdump -p "$work/mingw-example/host_example.exe")
grep -q "DLL Name: korvel_dll.dll" <<<"$imports" || fail "the MinGW example host"
cmp -s "$windows/bin/korvel_dll.dll" "$work/mingw-example/korvel_dll.dll" ||
  fail "the example did not copy korvel_dll.dll beside its program"
echo "archives as listed; example hosts built against both and run against the Linux one"
