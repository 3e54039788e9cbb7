#!/usr/bin/env bash
# Makes zavlib-VERSION-windows.zip from the two MinGW builds. Its x64/ and x86/
# folders each hold an installed tree:
#   bin/      zavlib_x64.dll or zavlib_x32.dll, and zavctl.exe
#   include/  zavlib.h
#   lib/      the import libraries (.lib for Visual Studio, .dll.a for MinGW), the
#             .def, the CMake package (lib/cmake/zavlib) and lib/pkgconfig/zavlib.pc
# with README.md and LICENSE.txt beside them (and THIRD-PARTY-LICENSES.txt when
# zavctl.exe has the dashboard built in).
# Usage: scripts/windows-zip.sh BUILD_X64 BUILD_X86 [OUT_DIR]   (OUT_DIR: build-windows)
set -euo pipefail
x64=$(cd "$1" && pwd)
x86=$(cd "$2" && pwd)
cd "$(dirname "$0")/.."
out=${3:-build-windows}

version=$(sed -n 's/^Version: //p' "$x64/zavlib.pc")
if [ -z "$version" ] || [ "$version" != "$(sed -n 's/^Version: //p' "$x86/zavlib.pc")" ]; then
  echo "windows-zip: the two builds must be of one version" >&2
  exit 1
fi
name=zavlib-$version-windows
mkdir -p "$out"
rm -rf "${out:?}/$name" "$out/$name.zip"
cmake --install "$x64" --prefix "$out/$name/x64" --strip >/dev/null
cmake --install "$x86" --prefix "$out/$name/x86" --strip >/dev/null
cp README.md "$out/$name/README.md"
cp LICENSE "$out/$name/LICENSE.txt"
# zavctl.exe serve has third-party code built in: their notices travel with it.
if [ -f "$x64/dashboard/licenses.txt" ]; then
  cp "$x64/dashboard/licenses.txt" "$out/$name/THIRD-PARTY-LICENSES.txt"
fi
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$out/$name.zip"
