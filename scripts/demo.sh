#!/usr/bin/env bash
# Drives servos on a simulated bus: builds what is needed, starts zavsim with
# six servos on a pseudo-terminal, then uses zavctl on it like a real adapter:
# scan, move two servos, watch them arrive, read their registers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-missing.sh cmake g++ make libcli11-dev >&2
cmake -S . -B build-demo -DZAV_BUILD_TESTS=OFF -DZAV_DASHBOARD=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target zavsim zavctl >/dev/null

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

build-demo/zavsim --ids 0-5 --link "$work/ttyZAV" >"$work/zavsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/ttyZAV" ] && break; sleep 0.05; done
[ -e "$work/ttyZAV" ] || { cat "$work/zavsim.log" >&2; exit 1; }
head -n1 "$work/zavsim.log"

run() {
  echo
  echo "\$ zavctl --port \$BUS $*"
  build-demo/zavctl --port "$work/ttyZAV" "$@"
}
run scan
# One process for the sequence: a new process knows nothing of the torque a
# servo holds, and its first position exchange would release it.
run sync 1=4000 2=10000 watch 1,2 --until-arrived --interval 250 read 1,2 release 1,2
