#!/usr/bin/env bash
# Installs what is missing (Debian packages; needs root or sudo), then builds
# and runs every test: the Linux suites, the same suites under Address- and
# UndefinedBehaviorSanitizer, the 64-bit DLL's device suite under wine64 and
# the static checks of the 32-bit DLL.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-missing.sh cmake g++ make libgtest-dev googletest libbenchmark-dev libcli11-dev mingw-w64 wine64 tshark

suites_passed=0
suites_failed=0
run_suite() { # name, command...
  local name=$1
  shift
  echo
  echo "================ $name"
  if "$@"; then
    suites_passed=$((suites_passed + 1))
    echo "================ $name: passed"
  else
    suites_failed=$((suites_failed + 1))
    echo "================ $name: FAILED"
  fi
}

linux_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j"$jobs" &&
    ctest --test-dir build --output-on-failure -j"$jobs"
}

sanitizer_suite() {
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZAV_BUILD_TOOLS=OFF -DZAV_ALLOC_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null &&
    cmake --build build-asan -j"$jobs" &&
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j"$jobs"
}

wine_suite() {
  cmake -S . -B build-x64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x64.cmake >/dev/null &&
    cmake --build build-x64 -j"$jobs" &&
    scripts/wine-tests.sh build-x64 build
}

x32_suite() {
  cmake -S . -B build-x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86.cmake >/dev/null &&
    cmake --build build-x86 -j"$jobs" &&
    scripts/check-x32.sh build-x86/zavlib_x32.dll
}

# zavctl doctor against simulated line faults, the Wireshark dissector under
# tshark, and one brief run of the exchange benchmark (figures only, no limits).
diagnostics_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j"$jobs" --target diagnostics_tests exchange_bench &&
    build/diagnostics_tests &&
    build/exchange_bench --benchmark_repetitions=1 --benchmark_min_time=0.01 --pairs=10 --benchmark_color=false
}

run_suite "Linux: unit tests and pseudo-terminal tests" linux_suite
run_suite "Diagnostics: zavctl doctor, Wireshark dissector, exchange benchmark" diagnostics_suite
run_suite "Linux under AddressSanitizer and UndefinedBehaviorSanitizer" sanitizer_suite
run_suite "zavlib_x64.dll under wine64" wine_suite
run_suite "zavlib_x32.dll export, import and calling-convention checks" x32_suite

echo
echo "suites: $suites_passed passed, $suites_failed failed"
[ "$suites_failed" -eq 0 ]
