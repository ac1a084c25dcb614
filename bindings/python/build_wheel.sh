#!/usr/bin/env bash
# Builds the korvel wheel around one build of the library, offline, with
# Debian's Python and setuptools: a libkorvel_dll.so gives a manylinux wheel
# (glibc 2.17 or newer) for this machine's architecture, a korvel_dll.dll one
# for 64-bit Windows.
#   build_wheel.sh LIBRARY OUT_DIR [VERSION]
# With VERSION, fails unless the package carries that version.
set -euo pipefail
library=$1 out=$2 version=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "$version" ] && ! grep -qx "__version__ = \"$version\"" "$here/korvel/__init__.py"; then
  echo "build_wheel.sh: $here/korvel/__init__.py does not carry version $version" >&2
  exit 1
fi
mkdir "$work/src"
cp "$here/pyproject.toml" "$here/setup.py" "$here/../../LICENSE" "$work/src/"
cp -r "$here/korvel" "$work/src/"
rm -rf "$work/src/korvel/__pycache__"
case $library in
*.dll)
  cp "$library" "$work/src/korvel/korvel_dll.dll"
  platform=win_amd64
  ;;
*)
  # The manylinux tag promises the library loads on any glibc 2.17 or newer:
  # it may need nothing but libc, and no symbol version above GLIBC_2.17.
  needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
  newest=$(readelf -V "$library" | grep -o 'GLIBC_2\.[0-9.]*' | sort -uV | tail -n 1)
  if [ "$needed" != libc.so.6 ] || [ "$(printf '%s\n' "$newest" GLIBC_2.17 | sort -V | tail -n 1)" != GLIBC_2.17 ]; then
    echo "build_wheel.sh: $library needs $needed, up to $newest: not manylinux_2_17" >&2
    exit 1
  fi
  # Named so that no import suffix matches it: never taken for a module.
  cp "$library" "$work/src/korvel/libkorvel_dll.so.1"
  # manylinux2014 for pip before 20.3.
  arch=$(uname -m)
  platform=manylinux_2_17_$arch.manylinux2014_$arch
  ;;
esac
mkdir -p "$out"
"$python" -m build --wheel --no-isolation \
  --config-setting=--build-option=--platform-tags="$platform" --outdir "$out" "$work/src" >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; exit 1; }
