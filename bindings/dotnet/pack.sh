#!/usr/bin/env bash
# Makes Korvel.VERSION.nupkg and Korvel.VERSION.snupkg in FEED around the two
# native libraries given (files named libkorvel_dll.so and korvel_dll.dll).
#   pack.sh FEED LIBKORVEL_DLL_SO KORVEL_DLL_DLL VERSION ARTIFACTS [DOTNET_OPTIONS...]
# ARTIFACTS holds the build's intermediate files (dotnet --artifacts-path).
set -euo pipefail
feed=$1 linux=$2 windows=$3 version=$4 artifacts=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/dotnet_env.sh"
# ContinuousIntegrationBuild: the symbols name the sources from the
# repository's root, not from this machine's folders.
dotnet pack "$here/Korvel.csproj" "${dotnet_flags[@]}" --artifacts-path "$artifacts" -o "$feed" \
  -p:ContinuousIntegrationBuild=true -p:KorvelVersion="$version" \
  -p:KorvelNativeLinux="$linux" -p:KorvelNativeWindows="$windows" "$@"
