#!/usr/bin/env bash
# Builds the Python package as a wheel with a native library inside, tagged for
# the platform that library is for, from a copy of the package (the source
# tree is left as it is). Needs a Python with setuptools and wheel, by default
# Debian's /usr/bin/python3 (python3-setuptools, python3-wheel; PYTHON names
# another); no package index.
# Usage: scripts/python-wheel.sh LIBRARY PLATFORM OUT_DIR
#   e.g. scripts/python-wheel.sh build/libzavlib.so.1 linux_x86_64 build/python
#        scripts/python-wheel.sh x64/bin/zavlib_x64.dll win_amd64 dist
# Prints the wheel's path.
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 LIBRARY PLATFORM OUT_DIR" >&2
  exit 2
fi
library=$(realpath -s "$1") # the library's own name (libzavlib.so.1), not the file a link points at
platform=$2
python=${PYTHON:-/usr/bin/python3}
mkdir -p "$3"
out=$(cd "$3" && pwd)
cd "$(dirname "$0")/../bindings/python"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/package/src/zavlib"
cp pyproject.toml setup.py README.md "$work/package/"
cp src/zavlib/*.py src/zavlib/py.typed "$work/package/src/zavlib/"
# The licence travels in the wheel's metadata; a Windows DLL also carries the
# notices of MinGW-w64's thread library, linked into it.
cp ../../LICENSE "$work/package/LICENSE"
case $platform in
  win*) /usr/bin/python3 ../../scripts/winpthreads-notice.py >"$work/package/LICENSE-winpthreads.txt" ;;
esac
rm -f "$out"/zavlib-*-py3-none-"$platform".whl
wheel=$(cd "$work/package" && ZAVLIB_BUNDLE=$library ZAVLIB_WHEEL_PLATFORM=$platform "$python" -c '
import sys
from setuptools import build_meta
print(build_meta.build_wheel(sys.argv[1]))' "$out" 2>"$work/build.log" | tail -n 1) || {
  cat "$work/build.log" >&2
  exit 1
}
echo "$out/$wheel"
