#!/usr/bin/env bash
# Installs what is missing (Debian packages; needs root or sudo), then builds
# and runs every test: the Linux suites, the dashboard's endpoint and browser
# tests, the same Linux suites under Address- and UndefinedBehaviorSanitizer,
# the 64-bit DLL's device suite and zavctl.exe under wine64 and the static
# checks of the 32-bit DLL.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-missing.sh cmake g++ make libgtest-dev googletest libbenchmark-dev libcli11-dev mingw-w64 wine64 \
  dpkg-dev nlohmann-json3-dev chromium

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

# zavctl serve is required in every build that has zavctl (cmake/dashboard.cmake).
linux_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAV_DASHBOARD=ON >/dev/null &&
    cmake --build build -j"$jobs" &&
    ctest --test-dir build --output-on-failure -j"$jobs"
}

# The HTTP interface checked directly, and the page in Debian's chromium; the
# screenshot of the page lands in build/dashboard.png.
dashboard_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAV_DASHBOARD=ON >/dev/null &&
    cmake --build build -j"$jobs" --target zavctl zavsim &&
    (cd tests/web && npm ci --no-audit --no-fund --loglevel=error) &&
    (cd tests/web && SCREENSHOT="$PWD/../../build/dashboard.png" node --test endpoints.test.mjs dashboard.test.mjs)
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
  cmake -S . -B build-x64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x64.cmake -DZAV_DASHBOARD=ON >/dev/null &&
    cmake --build build-x64 -j"$jobs" &&
    scripts/wine-tests.sh build-x64 build
}

x32_suite() {
  cmake -S . -B build-x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86.cmake -DZAV_DASHBOARD=ON >/dev/null &&
    cmake --build build-x86 -j"$jobs" &&
    scripts/check-x32.sh build-x86/zavlib_x32.dll
}

run_suite "Linux: unit tests and pseudo-terminal tests" linux_suite
run_suite "zavctl serve: endpoints and the page in a browser" dashboard_suite
run_suite "Linux under AddressSanitizer and UndefinedBehaviorSanitizer" sanitizer_suite
run_suite "zavlib_x64.dll under wine64" wine_suite
run_suite "zavlib_x32.dll export, import and calling-convention checks" x32_suite

echo
echo "suites: $suites_passed passed, $suites_failed failed"
[ "$suites_failed" -eq 0 ]
