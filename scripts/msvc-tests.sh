#!/usr/bin/env bash
# What a Visual Studio or other C/C++ caller of the public header meets, checked
# without Visual Studio:
# - include/zavlib.h compiles as C89 to C17 and C++98 to C++20 under gcc and
#   clang, in MSVC mode (clang and clang-cl, 64- and 32-bit) and under MinGW;
# - msvc_caller.exe (clang in MSVC mode, lld-link with its default /SAFESEH on
#   x86, tests/msvc) imports every function from the DLL under the name the
#   DLL exports for it: plain on x64, stdcall-decorated (ZAV_OpenPort@8) on x86.
#   The x64 one also runs under wine64 in scripts/wine-tests.sh.
# Usage: scripts/msvc-tests.sh BUILD_X64 BUILD_X86
set -euo pipefail
x64=$(cd "$1" && pwd)
x86=$(cd "$2" && pwd)
cd "$(dirname "$0")/.."

source scripts/checks.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/caller.c" <<'C'
#include "zavlib.h"
int main(void) {
    StatusWord status = 0;
    PortHandle port = ZAV_OpenPort("COM1", 115200);
    return !ZAV_Ping(port, 1, &status) || port == 0;
}
C

echo "== the header under every compiler and language level"
warnings=(-Wall -Wextra -Werror -Wundef -Wshadow)
c_warnings=("${warnings[@]}" -Wstrict-prototypes -Wmissing-prototypes)
msvc=(-ffreestanding -fsyntax-only -Iinclude)     # no Windows SDK here: freestanding
compile() { "$@" -Iinclude -fsyntax-only "$work/caller.c" 2>&1; }
for cc in gcc clang; do
  for std in c89 c99 c11 c17; do
    check "$cc -std=$std -pedantic" compile "$cc" -std=$std -pedantic "${c_warnings[@]}"
  done
done
for cxx in g++ clang++; do
  for std in c++98 c++11 c++17 c++20; do
    check "$cxx -std=$std -pedantic" compile "$cxx" -x c++ -std=$std -pedantic "${warnings[@]}"
  done
done
for target in x86_64 i686; do
  check "clang MSVC mode $target, C" clang --target=$target-pc-windows-msvc "${msvc[@]}" "${c_warnings[@]}" "$work/caller.c"
  check "clang MSVC mode $target, C++" clang --target=$target-pc-windows-msvc -x c++ -std=c++17 "${msvc[@]}" "${warnings[@]}" "$work/caller.c"
  for language in /TC /TP; do
    check "clang-cl /W4 /WX $language $target" clang --driver-mode=cl --target=$target-pc-windows-msvc /nologo /W4 /WX /Zs /X \
      $language -Iinclude -Xclang -ffreestanding "$work/caller.c"
  done
  check "MinGW gcc $target, C89" compile $target-w64-mingw32-gcc -std=c89 -pedantic "${c_warnings[@]}"
done

echo "== the Visual Studio callers' imports"
expected_x64="GetQueryPerformanceCounter ZAV_Active ZAV_ClosePort ZAV_OpenPort ZAV_Ping ZAV_ReadBlockData
ZAV_ReadByteData ZAV_ReadWordData ZAV_RxPacket ZAV_SetBaudrate ZAV_SetEchoCancel ZAV_SetTimeOutOffset ZAV_TxPacket
ZAV_WriteBlockData ZAV_WriteByteData ZAV_WriteSyncData ZAV_WriteWordData"
expected_x86="GetQueryPerformanceCounter@0 ZAV_Active@4 ZAV_ClosePort@4 ZAV_OpenPort@8 ZAV_Ping@12 ZAV_ReadBlockData@24
ZAV_ReadByteData@20 ZAV_ReadWordData@20 ZAV_RxPacket@24 ZAV_SetBaudrate@8 ZAV_SetEchoCancel@4 ZAV_SetTimeOutOffset@8
ZAV_TxPacket@24 ZAV_WriteBlockData@24 ZAV_WriteByteData@20 ZAV_WriteSyncData@16 ZAV_WriteWordData@20"
imports_from() { # objdump, program, DLL name: the names it imports from that DLL, sorted
  "$1" -p "$2" | awk -v dll="$3" '/DLL Name:/ {on = ($3 == dll); next} on && NF == 3 && $2 ~ /^[0-9]+$/ {print $3}' | sort | tr '\n' ' '
}
sorted() { tr ' \n' '\n\n' <<<"$1" | sed '/^$/d' | sort | tr '\n' ' '; }
for arch in x64 x86; do
  if [ $arch = x64 ]; then dir=$x64 objdump=x86_64-w64-mingw32-objdump dll=zavlib_x64.dll want=$expected_x64
  else dir=$x86 objdump=i686-w64-mingw32-objdump dll=zavlib_x32.dll want=$expected_x86; fi
  if [ -f "$dir/msvc_caller.exe" ]; then
    got=$(imports_from $objdump "$dir/msvc_caller.exe" $dll)
    check "the $arch caller imports the 17 functions by their exported names (got: $got)" \
      test "$got" = "$(sorted "$want")"
  else
    check "$dir/msvc_caller.exe was built (clang, lld and llvm are needed)" false
  fi
done

checks_summary "Visual Studio and header checks"
