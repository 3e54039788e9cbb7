#!/usr/bin/env bash
# Installs and packages, checked the way users pick them up:
# 1. cmake --install of the Linux build into a scratch prefix: its file list;
#    examples/ built out of tree against it with find_package and with
#    pkg-config, each run against zavsim; the installed zavsim and zavctl run
#    from the prefix, and from the tree moved elsewhere, with no library path.
# 2. cpack: the Debian packages, their contents and dependencies (no run path
#    in their programs); all of them
#    unpacked into a scratch root, the example built against that root both
#    ways and run against the packaged zavsim.
# 3. scripts/windows-zip.sh: the zip's file list and its README; the Python
#    wheels (tag, metadata, files, the DLL inside) and the Linux build's wheel;
#    the C# assembly's public surface and imports (ikdasm), and the assembly
#    used from a Mono program against the library, with zavsim and on the
#    library's simulated bus (sim:0-5); the version
#    resources and imports of its programs, and the zip's example cross-built
#    with MinGW against its x64 and x86 trees, with find_package and pkg-config.
# Leaves the .deb files in BUILD and the zip in build-windows/.
# Usage: scripts/package-tests.sh BUILD BUILD_X64 BUILD_X86
set -euo pipefail
build=$(cd "$1" && pwd)
x64=$(cd "$2" && pwd)
x86=$(cd "$3" && pwd)
cd "$(dirname "$0")/.."
root_dir=$PWD
export LC_ALL=C

version=$(sed -n 's/^Version: //p' "$build/zavlib.pc")
major=${version%%.*}
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

source scripts/checks.sh
same() { # description, expected lines, actual lines (in any order)
  if [ "$(sort <<<"$2")" = "$(sort <<<"$3")" ]; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $1"
    diff <(sort <<<"$2") <(sort <<<"$3") | sed 's/^/    /' || true
  fi
}
# Files and links under a tree, one a line, sorted; the build type's targets
# file (zavlibTargets-relwithdebinfo.cmake) as zavlibTargets-CONFIG.cmake.
tree_files() { (cd "$1" && find . ! -type d | sed 's|^\./||; s|zavlibTargets-[a-z]*\.cmake|zavlibTargets-CONFIG.cmake|' | sort); }

# zavsim stands in for servos, which answer on time whatever the host does: as
# root it runs ahead of the other work on the machine, so that a busy machine
# does not hold its echo past the library's 50 ms echo limit.
sim_priority=()
[ "$(id -u)" -eq 0 ] && sim_priority=(nice -n -10)

# The example against zavsim (servos 2 and 5): it finds both, moves servo 2 and
# reads its registers back.
run_example() { # description, zavsim program, example program, [environment for both]
  local what=$1 zavsim=$2 program=$3 tty=$work/tty-$RANDOM out
  shift 3
  env "$@" "${sim_priority[@]}" "$zavsim" --ids 2,5 --speed 20000 --link "$tty" >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [ -e "$tty" ] && break; sleep 0.05; done
  # A generous reply time-out: other work on the machine may hold the simulator back.
  out=$(env "$@" "$program" "$tty" 4000 100 2>&1; echo "exit=$?")
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  if grep -q "(2 found)" <<<"$out" && grep -q "registers: torque 1, goal 4000" <<<"$out" &&
    grep -qx "exit=0" <<<"$out"; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $what"
    sed 's/^/    /' <<<"$out"
  fi
}

build_with_cmake() { # build dir, prefix, [more cmake options]; EXAMPLES: the source (examples/)
  cmake -S "${EXAMPLES:-examples}" -B "$1" -DCMAKE_PREFIX_PATH="$2" "${@:3}" >"$1.log" 2>&1 &&
    cmake --build "$1" >>"$1.log" 2>&1 || { cat "$1.log"; return 1; }
}
build_with_pkg_config() { # compiler, pkgconfig dir, output
  local flags
  flags=$(PKG_CONFIG_LIBDIR=$2 pkg-config --cflags --libs zavlib) &&
    "$1" -Wall -Wextra -Werror examples/servo_demo.c $flags -o "$3"
}

echo "== cmake --install into a scratch prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
same "the installed files" "bin/zavctl
bin/zavsim
include/zavlib.h
lib/cmake/zavlib/zavlibConfig.cmake
lib/cmake/zavlib/zavlibConfigVersion.cmake
lib/cmake/zavlib/zavlibTargets-CONFIG.cmake
lib/cmake/zavlib/zavlibTargets.cmake
lib/libzavlib.so
lib/libzavlib.so.$major
lib/libzavlib.so.$version
lib/pkgconfig/zavlib.pc
share/doc/libzavlib$major/README
share/doc/libzavlib$major/changelog.gz
share/doc/libzavlib$major/copyright
share/doc/libzavlib-dev/README
share/doc/libzavlib-dev/changelog.gz
share/doc/libzavlib-dev/copyright
share/doc/zavlib-tools/README
share/doc/zavlib-tools/changelog.gz
share/doc/zavlib-tools/copyright
share/doc/zavlib-tools/third-party-licenses
share/man/man1/zavctl.1.gz
share/man/man1/zavsim.1.gz" "$(tree_files "$prefix")"
check "find_package build against the prefix" build_with_cmake "$work/prefix-cmake" "$prefix"
run_example "the find_package build runs (its RUNPATH finds the library)" "$build/zavsim" "$work/prefix-cmake/servo_demo"
check "pkg-config build against the prefix" build_with_pkg_config cc "$prefix/lib/pkgconfig" "$work/prefix-pc"
run_example "the pkg-config build runs" "$build/zavsim" "$work/prefix-pc" LD_LIBRARY_PATH="$prefix/lib"

# The installed zavsim and zavctl, run from the prefix as they are (no library
# path set), then from the same tree moved elsewhere: they find lib/ by their
# run path relative to themselves.
installed_tools_run() { # prefix
  local tty=$work/tty-installed-$RANDOM out
  [ "$(env -u LD_LIBRARY_PATH "$1/bin/zavctl" --version)" = "zavctl $version" ] &&
    [ "$(env -u LD_LIBRARY_PATH "$1/bin/zavsim" --version)" = "zavsim $version" ] || return 1
  env -u LD_LIBRARY_PATH "${sim_priority[@]}" "$1/bin/zavsim" --ids 2,5 --link "$tty" >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do [ -e "$tty" ] && break; sleep 0.05; done
  out=$(env -u LD_LIBRARY_PATH "$1/bin/zavctl" --port "$tty" scan 2>&1)
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  grep -q "found 2 servos: 2,5" <<<"$out" || { echo "$out"; return 1; }
}
same "the installed programs' run path" "\$ORIGIN/../lib \$ORIGIN/../lib" \
  "$(for tool in zavctl zavsim; do readelf -d "$prefix/bin/$tool" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; done | tr '\n' ' ' | sed 's/ $//')"
check "the installed zavctl and zavsim run from the scratch prefix" installed_tools_run "$prefix"
mv "$prefix" "$work/moved-prefix"
check "... and from the same tree moved elsewhere" installed_tools_run "$work/moved-prefix"
mv "$work/moved-prefix" "$prefix"

echo "== Debian packages"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || cat "$work/cpack.log"
runtime=libzavlib${major}_${version}_$arch.deb
dev=libzavlib-dev_${version}_$arch.deb
tools=zavlib-tools_${version}_$arch.deb
same "the packages made" "$(printf '%s\n' "$runtime" "$dev" "$tools")" "$(cd "$build" && ls -1 *.deb)"
deb_files() { dpkg-deb -c "$build/$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }
same "$runtime: contents" "usr/lib/libzavlib.so.$major
usr/lib/libzavlib.so.$version
usr/share/doc/libzavlib$major/README
usr/share/doc/libzavlib$major/changelog.gz
usr/share/doc/libzavlib$major/copyright" "$(deb_files "$runtime")"
same "$dev: contents" "usr/include/zavlib.h
usr/lib/cmake/zavlib/zavlibConfig.cmake
usr/lib/cmake/zavlib/zavlibConfigVersion.cmake
usr/lib/cmake/zavlib/zavlibTargets-CONFIG.cmake
usr/lib/cmake/zavlib/zavlibTargets.cmake
usr/lib/libzavlib.so
usr/lib/pkgconfig/zavlib.pc
usr/share/doc/libzavlib-dev/README
usr/share/doc/libzavlib-dev/changelog.gz
usr/share/doc/libzavlib-dev/copyright" "$(deb_files "$dev" | sed 's|zavlibTargets-[a-z]*\.cmake|zavlibTargets-CONFIG.cmake|')"
same "$tools: contents" "usr/bin/zavctl
usr/bin/zavsim
usr/share/doc/zavlib-tools/README
usr/share/doc/zavlib-tools/changelog.gz
usr/share/doc/zavlib-tools/copyright
usr/share/doc/zavlib-tools/third-party-licenses
usr/share/man/man1/zavctl.1.gz
usr/share/man/man1/zavsim.1.gz" "$(deb_files "$tools")"
same "$dev depends on the runtime of its version" "libzavlib$major (= $version)" "$(dpkg-deb -f "$build/$dev" Depends)"
check "$tools depends on the runtime of its version" grep -q "libzavlib$major (= $version)" <(dpkg-deb -f "$build/$tools" Depends)
check "$runtime depends on the C library" grep -q "^libc6 " <(dpkg-deb -f "$build/$runtime" Depends)
same "$runtime: shlibs" "libzavlib $major libzavlib$major (>= $version)" "$(dpkg-deb -I "$build/$runtime" shlibs)"
check "$runtime: ldconfig trigger" grep -q "ldconfig" <(dpkg-deb -I "$build/$runtime" triggers)

debroot=$work/debroot
for deb in "$runtime" "$dev" "$tools"; do dpkg-deb -x "$build/$deb" "$debroot"; done
check "the packaged library's SONAME is libzavlib.so.$major" \
  grep -q "SONAME.*\[libzavlib\.so\.$major\]" <(readelf -d "$debroot/usr/lib/libzavlib.so.$version")
for tool in zavctl zavsim; do
  same "packaged $tool --version" "$tool $version" "$(LD_LIBRARY_PATH=$debroot/usr/lib "$debroot/usr/bin/$tool" --version)"
  check "packaged $tool has no run path (the system's library path finds libzavlib)" \
    bash -c "! readelf -d '$debroot/usr/bin/$tool' | grep -q -e RUNPATH -e RPATH"
done
check "man zavctl lists the commands and the exit status" \
  bash -c "zcat '$debroot/usr/share/man/man1/zavctl.1.gz' | grep -q '^release' &&
           zcat '$debroot/usr/share/man/man1/zavctl.1.gz' | grep -q 'Exit status'"
check "man zavsim names its options" bash -c "zcat '$debroot/usr/share/man/man1/zavsim.1.gz' | grep -q 'no\\\\-echo'"
same "pkg-config --modversion in the unpacked packages" "$version" \
  "$(PKG_CONFIG_LIBDIR=$debroot/usr/lib/pkgconfig pkg-config --modversion zavlib)"
check "find_package build against the unpacked packages" build_with_cmake "$work/deb-cmake" "$debroot/usr"
run_example "the find_package build runs against the packaged zavsim" "$debroot/usr/bin/zavsim" \
  "$work/deb-cmake/servo_demo" LD_LIBRARY_PATH="$debroot/usr/lib"
check "pkg-config build against the unpacked packages" build_with_pkg_config cc "$debroot/usr/lib/pkgconfig" "$work/deb-pc"
run_example "the pkg-config build runs against the packaged zavsim" "$debroot/usr/bin/zavsim" "$work/deb-pc" \
  LD_LIBRARY_PATH="$debroot/usr/lib"

echo "== Windows zip"
zip=$(scripts/windows-zip.sh "$x64" "$x86")
name=zavlib-$version-windows
same "the zip's name" "build-windows/$name.zip" "$zip"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root_dir/$zip")
# The DLL and import library that zavlib::zavlib names, relative to the tree.
mkdir "$work/imported"
cat >"$work/imported/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(imported LANGUAGES NONE)
find_package(zavlib 1 CONFIG REQUIRED)
get_target_property(configuration zavlib::zavlib IMPORTED_CONFIGURATIONS)
get_target_property(dll zavlib::zavlib IMPORTED_LOCATION_${configuration})
get_target_property(implib zavlib::zavlib IMPORTED_IMPLIB_${configuration})
file(RELATIVE_PATH dll ${CMAKE_PREFIX_PATH} ${dll})
file(RELATIVE_PATH implib ${CMAKE_PREFIX_PATH} ${implib})
message(STATUS "imported: ${dll} ${implib}")
CMAKE
imported_files() { # tree, [cmake options]
  rm -rf "$work/imported/build"
  cmake -S "$work/imported" -B "$work/imported/build" -DCMAKE_PREFIX_PATH="$1" "${@:2}" 2>&1 | sed -n 's/^-- imported: //p'
}
windows_tree() { # folder, DLL name
  printf '%s\n' "$1/bin/$2.dll" "$1/bin/zavctl.exe" "$1/include/zavlib.h" \
    "$1/lib/$2.def" "$1/lib/$2.dll.a" "$1/lib/$2.lib" \
    "$1/lib/cmake/zavlib/zavlibConfig.cmake" "$1/lib/cmake/zavlib/zavlibConfigVersion.cmake" \
    "$1/lib/cmake/zavlib/zavlibTargets-CONFIG.cmake" "$1/lib/cmake/zavlib/zavlibTargets.cmake" \
    "$1/lib/pkgconfig/zavlib.pc"
}
same "the zip's files" "$(printf '%s\n' LICENSE.txt README.md THIRD-PARTY-LICENSES.txt \
  python/zavlib-$version-py3-none-win_amd64.whl python/zavlib-$version-py3-none-win32.whl \
  csharp/Zavlib.dll csharp/Zavlib.xml csharp/Facts.cs csharp/Native.cs csharp/Port.cs vba/zavlib.bas \
  labview/README.md examples/servo_demo.c examples/CMakeLists.txt examples/scan_and_move.py wireshark/zavbus.lua
  windows_tree x64 zavlib_x64; windows_tree x86 zavlib_x32)" "$(tree_files "$work/zip/$name")"
zipped=$work/zip/$name
check "the zip's third-party notices name the thread library linked into its binaries" \
  grep -q "winpthreads" "$zipped/THIRD-PARTY-LICENSES.txt"
check "... and the dashboard's parts" grep -q "uPlot" "$zipped/THIRD-PARTY-LICENSES.txt"

# The zip's README is written for Windows, for its version, and every file or
# folder it names is in the zip.
readme_names_what_is_there() {
  head -n 1 "$zipped/README.md" | grep -qx "# zavlib $version for Windows" || { echo "title: $(head -n 1 "$zipped/README.md")"; return 1; }
  ! grep -n '@[A-Z_]*@\|scripts/demo.sh\|apt install' "$zipped/README.md" || return 1
  /usr/bin/python3 - "$zipped" <<'PY'
import re, sys
from pathlib import Path
root = Path(sys.argv[1])
text = (root / "README.md").read_text()
names = set()
# The "What is where" tree: a top folder at four spaces, its entries deeper.
block = text.split("## What is where", 1)[1].split("\n## ", 1)[0]
top = ""
for line in block.splitlines():
    entry = re.match(r"( {4,})(\S+)", line)
    if not entry:
        continue
    first = entry.group(2)
    if len(entry.group(1)) == 4:
        top = first if first.endswith("\\") else ""
        names.add(first)
    elif top:
        names.update(top + name for name in first.split() if "." in name or name.endswith("\\"))
        names.update(top + name for name in re.findall(r"\b[\w.-]+\.(?:cs|py|c|txt)\b", line))
# Paths in backquotes elsewhere.
names.update(re.findall(r"`((?:x64|x86|python|csharp|vba|labview|examples|wireshark)\\[^` ]+)`", text))
missing = sorted(n for n in names if not (root / n.replace("\\", "/").rstrip("/")).exists())
for name in missing:
    print(f"the README names {name}, which is not in the zip")
if len(names) < 20:
    print(f"only {len(names)} names found in the README: has its layout changed?")
sys.exit(1 if missing or len(names) < 20 else 0)
PY
}
check "the zip's README is for Windows and names only what is in the zip" readme_names_what_is_there
same "the zip's README: the repository README's units and meanings, row for row" \
  "$(grep '^| [0-9]' <(sed -n '/^### Units and meanings/,/^## /p' README.md))" \
  "$(grep '^| [0-9]' <(sed -n '/^## Units and meanings/,/^## [^U]/p' "$zipped/README.md"))"

# A wheel: its name and tag, its metadata, its files (the package as in the
# repository, and the one library it was made for, byte for byte), and that its
# loader picks that library first. Usage: wheel_is_right WHEEL PLATFORM LIBRARY SYSTEM 64BIT
wheel_is_right() {
  local wheel=$1 platform=$2 library=$3 system=$4 wide=$5 unpacked
  unpacked=$work/wheel-$platform
  rm -rf "$unpacked" && mkdir "$unpacked" && (cd "$unpacked" && /usr/bin/python3 -m zipfile -e "$wheel" .) || return 1
  [ "$(basename "$wheel")" = "zavlib-$version-py3-none-$platform.whl" ] || { echo "name: $wheel"; return 1; }
  local info=$unpacked/zavlib-$version.dist-info expected actual notices
  expected=$(printf '%s\n' "Root-Is-Purelib: false" "Tag: py3-none-$platform")
  actual=$(grep -e '^Tag:' -e '^Root-Is-Purelib:' "$info/WHEEL")
  [ "$expected" = "$actual" ] || { echo "WHEEL: $actual"; return 1; }
  expected=$(printf '%s\n' "Name: zavlib" "Version: $version" "Requires-Python: >=3.9")
  actual=$(grep -e '^Name:' -e '^Version:' -e '^Requires-Python:' "$info/METADATA")
  [ "$expected" = "$actual" ] || { echo "METADATA: $actual"; return 1; }
  expected=$( (cd bindings/python/src && ls zavlib/*.py zavlib/py.typed); echo "zavlib/_lib/$(basename "$library")";
    notices=(LICENSE); [[ $platform != win* ]] || notices+=(LICENSE-winpthreads.txt)
    for file in METADATA RECORD WHEEL top_level.txt "${notices[@]}"; do echo "zavlib-$version.dist-info/$file"; done | sort)
  actual=$(tree_files "$unpacked")
  [ "$(sort <<<"$expected")" = "$actual" ] || { diff <(sort <<<"$expected") <(echo "$actual"); return 1; }
  cmp "$library" "$unpacked/zavlib/_lib/$(basename "$library")" || return 1
  (cd "$unpacked" && env -u ZAVLIB_LIBRARY /usr/bin/python3 -c '
import sys
from zavlib import _native
where, what = _native.candidates({}, platform=sys.argv[1], is_64bit=sys.argv[2] == "1")[0]
assert what.endswith(sys.argv[3]) and what.startswith(sys.argv[4]), (where, what)
import os; assert os.path.isfile(what), what' "$system" "$wide" "/zavlib/_lib/$(basename "$library")" "$unpacked")
}
check "the win_amd64 wheel" wheel_is_right "$zipped/python/zavlib-$version-py3-none-win_amd64.whl" win_amd64 \
  "$zipped/x64/bin/zavlib_x64.dll" win32 1
check "the win32 wheel" wheel_is_right "$zipped/python/zavlib-$version-py3-none-win32.whl" win32 \
  "$zipped/x86/bin/zavlib_x32.dll" win32 0
linux_platform=linux_$(uname -m)
check "the Linux build's $linux_platform wheel" wheel_is_right "$build/python/zavlib-$version-py3-none-$linux_platform.whl" \
  "$linux_platform" "$build/libzavlib.so.$major" linux 1
# ... and it loads its own copy of the library and talks to it.
linux_wheel_loads() {
  (cd "$work/wheel-$linux_platform" && env -u ZAVLIB_LIBRARY -u LD_LIBRARY_PATH /usr/bin/python3 -c '
import zavlib, zavlib._native as native
zavlib.clock()
assert native._library._name.endswith("/wheel-'"$linux_platform"'/zavlib/_lib/libzavlib.so.'"$major"'"), native._library._name')
}
check "the $linux_platform wheel loads the library inside it" linux_wheel_loads

# The C# assembly, as Mono's disassembler sees it: AnyCPU, the version, the
# public surface of bindings/csharp/tests/public-surface.txt, the header's
# functions imported from each library with its convention, and documentation
# for all of it.
ikdasm "$zipped/csharp/Zavlib.dll" >"$work/Zavlib.il" 2>&1
check "Zavlib.dll is AnyCPU (IL only, no bitness required)" grep -q '^\.corflags 0x00000001 ' "$work/Zavlib.il"
check "Zavlib.dll carries version $version" grep -q "^  \.ver ${version//./:}:0\$" "$work/Zavlib.il"
same "Zavlib.dll: its public surface" "$(cat bindings/csharp/tests/public-surface.txt)" \
  "$(/usr/bin/python3 bindings/csharp/tests/assembly_surface.py <"$work/Zavlib.il")"
header_functions=$(sed -n 's/^ZAV_API .* ZAV_CALL \([A-Za-z_]*\)(.*/\1/p' include/zavlib.h)
same "Zavlib.dll imports the header's $(wc -w <<<"$header_functions") functions from each library" \
  "$(for lib in "zavlib_x32.dll stdcall" "zavlib_x64.dll cdecl" "zavlib cdecl"; do
    for f in $header_functions; do echo "$lib $f"; done; done)" \
  "$(/usr/bin/python3 bindings/csharp/tests/assembly_surface.py --imports <"$work/Zavlib.il")"
check "Zavlib.xml documents the registers with the header's meanings" \
  grep -q "3000 and 12000 are the ends of the range" <(tr -s ' \n' ' ' <"$zipped/csharp/Zavlib.xml")

# The zip's assembly used from a Mono program on Linux, against this build's
# library and zavsim (the binding's own tests, compiled against it).
zip_assembly_runs() {
  local out=$work/zip-csharp
  mkdir -p "$out/lib"
  cp "$zipped/csharp/Zavlib.dll" bindings/csharp/Zavlib.dll.config "$out/"
  cp "$build/libzavlib.so.$major" "$out/lib/"
  mcs -warnaserror+ -r:"$out/Zavlib.dll" -out:"$out/PortTests.exe" bindings/csharp/tests/PortTests.cs &&
    LD_LIBRARY_PATH=$out/lib mono "$out/PortTests.exe" "$build/zavsim" >"$out/log" 2>&1 || { cat "$out/log"; return 1; }
}
check "the zip's Zavlib.dll from a Mono program on Linux, against the library and zavsim" zip_assembly_runs
# ... and on the library's own simulated bus, as the zip's README shows it: no
# simulator process, only the assembly, its config and the library.
zip_assembly_on_sim() {
  local out=$work/zip-csharp
  cat >"$out/OnSim.cs" <<'CS'
using System;
using Zavlib;

static class OnSim
{
    static int Main()
    {
        using (var port = new Port("sim:0-5"))
        {
            string found = string.Join(",", port.Scan());
            port.Move(1, 4000);
            int goal = port.Read(1, Register.GoalPosition), torque = port.Read(1, Register.TorqueEnable);
            string refused = "nothing";
            try { port.Move(1, Facts.GoalMax + 1); }
            catch (ZavException e) { refused = e.Call; }
            Console.WriteLine("found " + found + "; goal " + goal + ", torque " + torque + "; refused " + refused);
            return found == "0,1,2,3,4,5" && goal == 4000 && torque == 1 && refused.StartsWith("Move(1, ") ? 0 : 1;
        }
    }
}
CS
  mcs -warnaserror+ -r:"$out/Zavlib.dll" -out:"$out/OnSim.exe" "$out/OnSim.cs" || return 1
  LD_LIBRARY_PATH=$out/lib mono "$out/OnSim.exe" >"$out/on-sim.log" 2>&1 || { cat "$out/on-sim.log"; return 1; }
}
check "the zip's Zavlib.dll from a Mono program on Linux, on the library's simulated bus sim:0-5" zip_assembly_on_sim
for arch_dir in x64:zavlib_x64:x86_64 x86:zavlib_x32:i686; do
  IFS=: read -r dir dll cpu <<<"$arch_dir"
  tree=$work/zip/$name/$dir
  for program in "bin/$dll.dll" bin/zavctl.exe; do
    resource=$(strings -a -el "$tree/$program" | tr '\n' ' ')
    check "$dir/$program carries version $version" grep -q "FileVersion $version .*ProductName zavlib ProductVersion $version" <<<"$resource"
  done
  same "$dir/bin/$dll.dll imports only system DLLs" "KERNEL32.dll msvcrt.dll" \
    "$($cpu-w64-mingw32-objdump -p "$tree/bin/$dll.dll" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ' | sed 's/ $//')"
  same "$dir: the imported target for MinGW" "bin/$dll.dll lib/$dll.dll.a" "$(imported_files "$tree")"
  same "$dir: the imported target for Visual Studio" "bin/$dll.dll lib/$dll.lib" "$(imported_files "$tree" -DMSVC=1)"
  EXAMPLES=$zipped/examples check "$dir: MinGW find_package build of the zip's examples against the zip" \
    build_with_cmake "$work/zip-$dir-cmake" "$tree" -DCMAKE_TOOLCHAIN_FILE="$root_dir/cmake/mingw-$dir.cmake"
  check "$dir: the MinGW example imports from $dll.dll" \
    grep -q "DLL Name: $dll.dll" <($cpu-w64-mingw32-objdump -p "$work/zip-$dir-cmake/servo_demo.exe")
  check "$dir: MinGW pkg-config build against the zip" \
    build_with_pkg_config $cpu-w64-mingw32-gcc "$tree/lib/pkgconfig" "$work/zip-$dir-pc.exe"
done

checks_summary "install and package checks"
