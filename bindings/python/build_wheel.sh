#!/usr/bin/env bash
# Builds the korvel wheel around one build of the library, offline, with
# Debian's Python and setuptools: a libkorvel_dll.so gives a wheel for this
# Linux machine, a korvel_dll.dll one for 64-bit Windows.
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
cp "$here/pyproject.toml" "$here/setup.py" "$work/src/"
cp -r "$here/korvel" "$work/src/"
rm -rf "$work/src/korvel/__pycache__"
options=()
case $library in
*.dll)
  cp "$library" "$work/src/korvel/korvel_dll.dll"
  options=(--config-setting=--build-option=--plat-name=win_amd64)
  ;;
*) cp "$library" "$work/src/korvel/libkorvel_dll.so" ;;
esac
mkdir -p "$out"
"$python" -m build --wheel --no-isolation "${options[@]}" --outdir "$out" "$work/src" >"$work/log" 2>&1 ||
  { cat "$work/log" >&2; exit 1; }
