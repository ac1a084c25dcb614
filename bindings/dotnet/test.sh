#!/usr/bin/env bash
# The .NET binding against korvel-sim. Restores and builds the library and
# its xunit tests once and makes the NuGet package; runs the tests on .NET and
# the sample on the netstandard2.0 assembly under Mono; checks the package's
# files, then builds and runs a fresh console project that takes the package
# from a folder source.
#   test.sh LIBKORVEL_DLL_SO KORVEL_DLL_DLL KORVEL_SIM VERSION ARTIFACTS
set -euo pipefail
library=$1 windows_dll=$2 sim=$3 version=$4 artifacts=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/dotnet_env.sh"
work=$(mktemp -d)
sim_pids=()
trap 'kill -TERM "${sim_pids[@]}" 2>/dev/null || true; wait; rm -rf "$work"' EXIT

step() { echo "== $1 (at ${SECONDS} s)"; }

fail() {
  echo "FAIL $*"
  exit 1
}

# Starts korvel-sim with the given options and waits for its port file.
start_sim() {
  local port_file=$work/port-${#sim_pids[@]}
  "$sim" --port-file "$port_file" "$@" >/dev/null 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$port_file" ] && break
    sleep 0.05
  done
  [ -s "$port_file" ] || fail "korvel-sim did not start"
}

# Runs the sample (a program and its arguments) against PORT and checks its
# session, then checks that a refused name ends in its message and status 2.
check_sample() {
  local port=$1 output status=0
  shift
  output=$(timeout 30 "$@" "$port") || fail "the sample exited $? with: $output"
  [ "$output" = "port $port: KORVEL-SIM 1.0"$'\n'"reply: 00" ] || fail "the sample printed: $output"
  output=$(timeout 30 "$@" ../tty 2>&1) || status=$?
  if [ "$status" != 2 ] || [[ $output != "not a port name "* ]] || [[ $output == *" at "* ]]; then
    fail "the sample exited $status for a refused name, with: $output"
  fi
}

properties=(-p:KorvelVersion="$version" -p:KorvelNativeLinux="$library"
            -p:KorvelNativeWindows="$windows_dll")
start_sim

step "restore and build the library and its tests, and make the NuGet package"
dotnet build "$here/Korvel.slnx" "${dotnet_flags[@]}" --artifacts-path "$artifacts" "${properties[@]}"
feed=$work/feed
"$here/pack.sh" "$feed" "$library" "$windows_dll" "$version" "$artifacts" --no-build

step "the xunit tests on .NET"
KORVEL_SIM=$sim dotnet test "$here/tests/Korvel.Tests.csproj" "${dotnet_flags[@]}" --no-build \
  --artifacts-path "$artifacts" "${properties[@]}"

step "the netstandard2.0 assembly under Mono"
# What a .NET Framework program gets beside it when it uses a netstandard2.0
# library: the SDK's netstandard.dll, which forwards to the framework's types.
sdk=$(dotnet --list-sdks | sed -n "s/^$(dotnet --version) \[\(.*\)\]$/\1/p")/$(dotnet --version)
facade=$sdk/Microsoft/Microsoft.NET.Build.Extensions/net461/lib/netstandard.dll
[ -f "$facade" ] || fail "no netstandard.dll for .NET Framework in the SDK: $facade"
mkdir "$work/mono"
cp "$artifacts/bin/Korvel/release_netstandard2.0/Korvel.dll" "$facade" "$work/mono/"
mcs -warnaserror -out:"$work/mono/Sample.exe" -r:"$work/mono/Korvel.dll" \
  -r:"$work/mono/netstandard.dll" "$here/Sample.cs"
port=$(<"$work/port-0")
LD_LIBRARY_PATH=$(dirname "$library") check_sample "$port" mono "$work/mono/Sample.exe"
echo "ok   the sample's session under Mono"

step "the NuGet package's files"
package=$feed/Korvel.$version.nupkg
[ -f "$package" ] && [ -f "$feed/Korvel.$version.snupkg" ] || fail "no package for $version in: $(ls "$feed")"
files=$(unzip -Z1 "$package" | grep -v -e '^_rels/' -e '^package/' -e '^\[Content_Types\]' | sort)
expected="Korvel.nuspec
README.md
lib/net8.0/Korvel.dll
lib/net8.0/Korvel.xml
lib/netstandard2.0/Korvel.dll
lib/netstandard2.0/Korvel.xml
runtimes/linux-x64/native/libkorvel_dll.so
runtimes/win-x64/native/korvel_dll.dll"
[ "$files" = "$expected" ] || fail "the package holds: $files"
cmp -s <(unzip -p "$package" runtimes/linux-x64/native/libkorvel_dll.so) "$library" ||
  fail "the package's libkorvel_dll.so is not the library built"
nuspec=$(unzip -p "$package" Korvel.nuspec)
for field in "<version>$version</version>" '<license type="expression">MIT</license>' \
  '<readme>README.md</readme>'; do
  [[ $nuspec == *"$field"* ]] || fail "the nuspec lacks $field: $nuspec"
done
symbols=$(unzip -Z1 "$feed/Korvel.$version.snupkg" | grep '\.pdb$' | sort | tr '\n' ' ')
[ "$symbols" = "lib/net8.0/Korvel.pdb lib/netstandard2.0/Korvel.pdb " ] ||
  fail "the symbols package holds: $symbols"
echo "ok   the package's files"

step "a fresh console project on the package"
# A folder of its own for the packages, so that no earlier package of the
# same version is taken from the cache.
export NUGET_PACKAGES=$work/packages
consumer=$work/consumer
dotnet new console --no-restore -o "$consumer" -n KorvelConsumer >/dev/null
cp "$here/Sample.cs" "$consumer/Program.cs"
dotnet add "$consumer/KorvelConsumer.csproj" package Korvel --version "$version" \
  --source "$feed" >/dev/null
dotnet build "$consumer/KorvelConsumer.csproj" "${dotnet_flags[@]}" --no-restore -warnaserror
app=$consumer/bin/Release/net10.0
[ -f "$app/runtimes/linux-x64/native/libkorvel_dll.so" ] && [ ! -e "$app/libkorvel_dll.so" ] ||
  fail "the program's folder is not laid out as the package's: $(find "$app" -name '*korvel*')"
# Nothing but the package's runtimes/ folder can supply the library.
(unset LD_LIBRARY_PATH && check_sample "$port" "$app/KorvelConsumer")
echo "ok   the package's library found in runtimes/linux-x64/native"

rm "$app/runtimes/linux-x64/native/libkorvel_dll.so"
status=0
output=$(env -u LD_LIBRARY_PATH timeout 30 "$app/KorvelConsumer" "$port" 2>&1) || status=$?
if [ "$status" != 3 ] || [[ $output != "libkorvel_dll.so could not be loaded. It was looked for"* ]] ||
  [[ $output != *"set LD_LIBRARY_PATH to its folder"* ]] || [[ $output == *"   at "* ]]; then
  fail "without the library the sample exited $status with: $output"
fi
echo "ok   a missing library says where it was looked for"
step "done"
