#!/usr/bin/env bash
# Runs the 64-bit DLL's device suite under wine64: a relay joins two
# pseudo-terminals that the Wine prefix sees as COM5 (the DLL's port) and COM6
# (the simulated bus in the test program), with COM7 as the relay's control line.
# Usage: scripts/wine-tests.sh BUILD_DIR_X64 RELAY_BINARY
set -euo pipefail
build=$(cd "$1" && pwd)
relay=$2

wine64=$(command -v wine64 || true)
[ -x /usr/lib/wine/wine64 ] && wine64=/usr/lib/wine/wine64
[ -n "$wine64" ] || { echo "wine64 not found" >&2; exit 1; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
relay_pid=""
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== preparing a Wine prefix"
# Wine's background services keep inherited descriptors: start them with none.
"$wine64" wineboot -i </dev/null >/dev/null 2>&1 || true

mkfifo "$work/relay-in"
"$relay" "$work" <"$work/relay-in" >"$work/relay-out" 2>&1 &
relay_pid=$!
exec 3>"$work/relay-in" # the relay runs while this stays open
for _ in $(seq 100); do grep -q ready "$work/relay-out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/relay-out" || { cat "$work/relay-out" >&2; exit 1; }

mkdir -p "$WINEPREFIX/dosdevices"
ln -sf "$work/dll" "$WINEPREFIX/dosdevices/com5"
ln -sf "$work/sim" "$WINEPREFIX/dosdevices/com6"
ln -sf "$work/ctl" "$WINEPREFIX/dosdevices/com7"

echo "== x64 DLL device suite under wine64"
cd "$build"
status=0
ZAV_TEST_PORT=COM5 ZAV_TEST_SIM_PORT=COM6 ZAV_TEST_CTL_PORT=COM7 \
  "$wine64" windows_tests.exe --gtest_brief=0 >"$work/out.txt" 2>&1 </dev/null || status=$?
tr -d '\r' <"$work/out.txt"
exit $status
