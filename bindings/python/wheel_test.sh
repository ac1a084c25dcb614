#!/usr/bin/env bash
# Builds the wheel around the library under test, installs it into a fresh
# virtual environment and runs the binding's tests against the installed
# package, which must find the library it carries and name its licence.
#   wheel_test.sh LIBRARY KORVEL_SIM VERSION
set -euo pipefail
library=$1 sim=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$here/build_wheel.sh" "$library" "$work/dist" "$version"
arch=$(uname -m)
wheel=$work/dist/korvel-$version-py3-none-manylinux_2_17_$arch.manylinux2014_$arch.whl
[ -f "$wheel" ] || { echo "no $(basename "$wheel") in: $(ls "$work/dist")"; exit 1; }

/usr/bin/python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --no-index --no-deps "$wheel"
cd "$work"
found=$(env -u KORVEL_LIBRARY "$work/venv/bin/python" -c 'import korvel; print(korvel.library()._name)')
case $found in
"$work"/venv/lib/python3*/site-packages/korvel/libkorvel_dll.so.1) ;;
*) echo "the installed package loaded $found"; exit 1 ;;
esac
"$work/venv/bin/python" -c '
import importlib.metadata as metadata
wheel = metadata.distribution("korvel")
assert wheel.metadata["License"] == "MIT", wheel.metadata["License"]
assert "Copyright (c) 2026 the korvel_dll authors" in (wheel.read_text("LICENSE") or "")'
env -u KORVEL_LIBRARY -u PYTHONPATH KORVEL_SIM="$sim" PYTHONDONTWRITEBYTECODE=1 \
  timeout 120 "$work/venv/bin/python" -m unittest discover -s "$here/tests"
