#!/usr/bin/env bash
# Runs the 64-bit DLL's device suite under wine64: a relay joins two
# pseudo-terminals that the Wine prefix sees as COM5 (the DLL's port) and COM6
# (the simulated bus in the test program), with COM7 as the relay's control line.
# Then runs zavctl.exe and a caller built like a Visual Studio program against
# zavsim on COM8, COM9 and COM10 (the doctor), behind ser2net (tcp://) and
# against the DLL's own sim: bus, captures and replays a session on COM12, runs
# zavctl.exe ports, and zavctl.exe serve on COM11 and on --sim for a Linux client.
# Usage: scripts/wine-tests.sh BUILD_DIR_X64 LINUX_BUILD_DIR
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
relay=$linux_build/wine_relay

wine64=$(command -v wine64 || true)
[ -x /usr/lib/wine/wine64 ] && wine64=/usr/lib/wine/wine64
[ -n "$wine64" ] || { echo "wine64 not found" >&2; exit 1; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
relay_pid=""
sim_pids=()
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
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

echo "== zavctl.exe and a Visual Studio caller under wine64, against zavsim"
# One bus per program: under Wine a pseudo-terminal takes only one open with
# these line settings.
start_zavsim() { # COM port number, then zavsim options
  local tty=$work/zavsim-com$1
  "$linux_build/zavsim" --link "$tty" "${@:2}" >"$tty.log" 2>&1 &
  sim_pids+=($!)
  for _ in $(seq 100); do [ -e "$tty" ] && break; sleep 0.05; done
  ln -sf "$tty" "$WINEPREFIX/dosdevices/com$1"
}
start_zavsim 8 --ids 1,4
start_zavsim 9 --ids 1
start_zavsim 10 --ids 1,4 # the doctor
start_zavsim 12 --ids 1,4 # the capture
checks_passed=0
checks_failed=0
expect() { # description, expected exit status, expected text, command...
  local what=$1 want_status=$2 want_text=$3
  shift 3
  local out
  out=$("$@" 2>&1 </dev/null; echo "exit=$?")
  out=$(tr -d '\r' <<<"$out")
  if grep -qF -- "$want_text" <<<"$out" && grep -qx "exit=$want_status" <<<"$out"; then
    checks_passed=$((checks_passed + 1))
    echo "ok: $what"
  else
    checks_failed=$((checks_failed + 1))
    echo "FAILED: $what"
    echo "$out"
  fi
}
expect "scan finds servos 1 and 4" 0 "found 2 servos: 1,4" "$wine64" "$build/zavctl.exe" --port COM8 scan
expect "a missing port is named as missing" 3 "cannot open COM250: there is no such port on this system" "$wine64" "$build/zavctl.exe" --port COM250 ping 1
expect "help" 0 "Usage:" "$wine64" "$build/zavctl.exe" --help
expect "doctor finds the echo and both servos" 0 "servos-answer" "$wine64" "$build/zavctl.exe" --port COM10 --timeout-offset 100 doctor --ids 1,4 --count 20
# The simulated bus inside the DLL, and capture and replay on a COM port (a
# fresh one: under Wine a pseudo-terminal takes one open with the bus's settings).
expect "--sim scan lists six servos" 0 "found 6 servos: 0,1,2,3,4,5" "$wine64" "$build/zavctl.exe" --sim scan
expect "--capture on a COM port" 0 "found 2 servos: 1,4" "$wine64" "$build/zavctl.exe" --capture "Z:$work/com12.pcap" --port COM12 scan
expect "the capture replays" 0 "the session followed the whole recording (32 requests)" \
  "$wine64" "$build/zavctl.exe" --port "replay:Z:$work/com12.pcap" scan
expect "a different request leaves the recording" 1 "left the recording at request 1 of 32: it sent 85 00 00" \
  "$wine64" "$build/zavctl.exe" --port "replay:Z:$work/com12.pcap" ping 5
expect "version" 0 "zavctl $(sed -n 's/^Version: //p' "$build/zavlib.pc")" "$wine64" "$build/zavctl.exe" --version
# A Windows program on a network bridge: ser2net on Linux in front of zavsim,
# zavctl.exe (the x64 DLL) over tcp:// through Wine's sockets.
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
bridge_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$linux_build/zavsim" --link "$work/zavsim-bridge" --ids 2,6 --no-echo >"$work/zavsim-bridge.log" 2>&1 &
sim_pids+=($!)
for _ in $(seq 100); do [ -e "$work/zavsim-bridge" ] && break; sleep 0.05; done
cat >"$work/ser2net.yaml" <<EOF
connection: &bus
  accepter: tcp,127.0.0.1,$bridge_port
  connector: serialdev,$work/zavsim-bridge,115200e81,local
  options:
    kickolduser: true
EOF
"$ser2net" -n -d -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
sim_pids+=($!)
listening=$(printf '0100007F:%04X 00000000:0000 0A' "$bridge_port")
for _ in $(seq 200); do grep -q "$listening" /proc/net/tcp && break; sleep 0.05; done
expect "the x64 DLL scans a simulated bus behind ser2net over tcp://" 0 "found 2 servos: 2,6" \
  "$wine64" "$build/zavctl.exe" --port "tcp://127.0.0.1:$bridge_port" --no-echo --timeout-offset 100 scan
# A port the registry lists, as a driver would list it: zavctl.exe ports names it
# (free: nobody holds COM8 now) and ends with the simulated bus.
"$wine64" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial8' /d COM8 /f </dev/null >/dev/null 2>&1
expect "ports lists a registered COM port" 0 "serial port (\Device\Serial8), free" "$wine64" "$build/zavctl.exe" ports
expect "ports --json ends with the simulated bus" 0 '{"name":"sim:0-5","kind":"sim"' "$wine64" "$build/zavctl.exe" ports --json
# Built like a Visual Studio program: clang in MSVC mode, lld-link, zavlib_x64.lib.
expect "a Visual Studio caller drives the bus" 0 "msvc caller: 13 passed, 0 failed" \
  env ZAV_TEST_PORT=COM9 "$wine64" "$build/msvc_caller.exe"
expect "a Visual Studio caller drives sim:0-5 in the DLL" 0 "msvc caller: 13 passed, 0 failed" \
  env ZAV_TEST_PORT=sim:0-5 "$wine64" "$build/msvc_caller.exe"
echo "program checks: $checks_passed passed, $checks_failed failed"
[ "$checks_failed" -eq 0 ] || status=1

echo "== zavctl.exe serve under wine64, to a Linux client"
start_zavsim 11 --ids 2,5
ZAVCTL="$wine64 $build/zavctl.exe" SERVE_OPTIONS="--port COM11" EXPECT_IDS=2,5 \
  node --test "$repo/tests/web/serve-smoke.mjs" </dev/null || status=1
echo "== zavctl.exe --sim serve under wine64"
ZAVCTL="$wine64 $build/zavctl.exe" SERVE_OPTIONS="--sim" EXPECT_IDS=0,1,2,3,4,5 \
  node --test "$repo/tests/web/serve-smoke.mjs" </dev/null || status=1
exit $status
