#!/usr/bin/env bash
# Checks the 32-bit DLL without running it (this kernel runs no 32-bit code):
# every function exported under its plain and its stdcall-decorated name, both
# names at one address, nothing else exported, only system DLLs imported, and
# every export popping its argument bytes on return (ret $N).
# Usage: scripts/check-x32.sh path/to/zavlib_x32.dll
set -euo pipefail
dll=$1
objdump=i686-w64-mingw32-objdump

expected="ZAV_OpenPort 8
ZAV_ClosePort 4
ZAV_Active 4
ZAV_SetBaudrate 8
ZAV_SetTimeOutOffset 8
ZAV_SetEchoCancel 4
GetQueryPerformanceCounter 0
ZAV_TxPacket 24
ZAV_RxPacket 24
ZAV_Ping 12
ZAV_ReadBlockData 24
ZAV_ReadWordData 20
ZAV_ReadByteData 20
ZAV_WriteBlockData 24
ZAV_WriteWordData 20
ZAV_WriteByteData 20
ZAV_WriteSyncData 16"

headers=$("$objdump" -p "$dll")
disassembly=$("$objdump" -d "$dll")
source "$(dirname "$0")/checks.sh"

# name -> RVA, from the export address table and the name pointer table.
declare -A rva
while read -r index address; do addresses[$index]=$address; done < <(
  awk '/^Export Address Table/ {on=1; next} on && /^$/ {on=0} on && /Export RVA/ {gsub(/[][]/," "); print $1, $(NF-2)}' <<<"$headers")
while read -r index name; do rva[$name]=${addresses[$index]}; done < <(
  awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^$/ {on=0} on {gsub(/[][]/," "); print $1, $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")

check "exactly 34 export names (found ${#rva[@]})" test "${#rva[@]}" -eq 34

imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort | tr '\n' ' ')
check "imports only KERNEL32 and msvcrt (found: $imports)" test "$imports" = "KERNEL32.dll msvcrt.dll "

# Every ret of the function that starts at the given address.
rets_of() {
  local start=$1
  awk -v start="$start" '
    /^[0-9a-f]+ <.*>:$/ { inside = ($1 == start); next }
    inside && /\tret/ { sub(/.*\tret[l]? */, ""); print ($0 == "" ? "plain" : $0) }' <<<"$disassembly"
}

while read -r name bytes; do
  plain=${rva[$name]:-}
  decorated=${rva[$name@$bytes]:-}
  check "$name exported" test -n "$plain"
  check "$name@$bytes exported" test -n "$decorated"
  [ -n "$plain" ] && [ -n "$decorated" ] || continue
  check "$name and $name@$bytes name one function" test "$plain" = "$decorated"
  start=$(printf '%08x' $((0x$base + 0x$plain)))
  want=$([ "$bytes" -eq 0 ] && echo plain || printf '$0x%x' "$bytes")
  rets=$(rets_of "$start" | sort -u | tr '\n' ' ')
  check "$name returns with ret $want (found: ${rets:-none})" test "$rets" = "$want "
done <<<"$expected"

checks_summary "x32 DLL checks"
