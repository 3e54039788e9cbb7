#!/usr/bin/env bash
# Makes zavlib-VERSION-windows.zip from the two MinGW builds:
#   x64/, x86/   each an installed tree: bin/ (zavlib_x64.dll or zavlib_x32.dll,
#                zavctl.exe), include/zavlib.h, lib/ (the import libraries: .lib
#                for Visual Studio, .dll.a for MinGW; the .def; the CMake package
#                and zavlib.pc)
#   python/      the Python package as wheels for win_amd64 and win32, each with
#                its DLL inside (scripts/python-wheel.sh)
#   csharp/      Zavlib.dll (AnyCPU, built with Mono's compiler), its XML
#                documentation Zavlib.xml, and the binding's source
#   vba/zavlib.bas, labview/README.md, examples/, wireshark/zavbus.lua
# with a README.md written for Windows (cmake/windows/README.md.in), LICENSE.txt
# and THIRD-PARTY-LICENSES.txt (MinGW-w64's thread library, and what the
# dashboard built into zavctl.exe includes).
# Needs mcs (Debian: mono-devel) and Debian's python3 with setuptools and wheel.
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
root=$out/$name
# Its table of units and meanings is the repository README's, which the facts
# check holds to the header's comments.
units=$(sed -n '/^### Units and meanings/,/^## /{/^| Address /,/^Goal positions and present positions/p}' README.md)
if [ -z "$units" ]; then
  echo "windows-zip: README.md has no table of units and meanings" >&2
  exit 1
fi
/usr/bin/python3 -c 'import sys; text = open(sys.argv[1]).read(); sys.stdout.write(
  text.replace("@VERSION@", sys.argv[2]).replace("@UNITS_AND_MEANINGS@", sys.argv[3]))' \
  cmake/windows/README.md.in "$version" "$units" >"$root/README.md"
cp LICENSE "$root/LICENSE.txt"

# The Python wheels, each with the DLL of its bitness as installed (stripped).
scripts/python-wheel.sh "$root/x64/bin/zavlib_x64.dll" win_amd64 "$root/python" >/dev/null
scripts/python-wheel.sh "$root/x86/bin/zavlib_x32.dll" win32 "$root/python" >/dev/null

# The C# binding: one AnyCPU assembly that picks the DLL by the process's bitness.
mkdir -p "$root/csharp"
csharp_sources=(bindings/csharp/Facts.cs bindings/csharp/Native.cs bindings/csharp/Port.cs)
mcs -warnaserror+ -target:library -platform:anycpu -optimize+ -deterministic -doc:"$root/csharp/Zavlib.xml" \
  -out:"$root/csharp/Zavlib.dll" "${csharp_sources[@]}"
cp "${csharp_sources[@]}" "$root/csharp/"

mkdir -p "$root/vba" "$root/labview" "$root/examples" "$root/wireshark"
cp bindings/vba/zavlib.bas "$root/vba/"
cp bindings/labview/README.md "$root/labview/"
cp examples/servo_demo.c examples/CMakeLists.txt bindings/python/examples/scan_and_move.py "$root/examples/"
cp tools/wireshark/zavbus.lua "$root/wireshark/"
# Third-party code built into the binaries: MinGW-w64's thread library (linked
# statically into the DLLs and zavctl.exe), and what zavctl.exe serve includes.
{
  /usr/bin/python3 scripts/winpthreads-notice.py
  if [ -f "$x64/dashboard/licenses.txt" ]; then
    echo
    cat "$x64/dashboard/licenses.txt"
  fi
} >"$root/THIRD-PARTY-LICENSES.txt"
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$out/$name.zip"
