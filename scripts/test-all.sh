#!/usr/bin/env bash
# Installs what is missing (Debian packages; needs root or sudo), then builds
# and runs every test: the Linux suites (the network devices through ser2net
# among them), the dashboard's endpoint and browser
# tests, the same Linux suites under Address- and UndefinedBehaviorSanitizer and
# under ThreadSanitizer with a thread stress run, a bounded fuzzing run, the
# 64-bit DLL's device suite and zavctl.exe under wine64, the static checks of
# the 32-bit DLL, the installed and packaged library with its consumers, what
# Visual Studio callers of the DLLs and the header meet, the language bindings
# against zavsim, and the ARM Linux cross builds with their tests and Debian
# packages under qemu user emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# Node.js and npm (the dashboard's build and tests): Debian's, where none is installed.
node_packages=()
command -v npm >/dev/null || node_packages=(nodejs npm)
scripts/install-missing.sh ca-certificates cmake g++ make libgtest-dev googletest libbenchmark-dev libcli11-dev \
  mingw-w64 wine64 python3-venv python3-pytest python3-setuptools python3-wheel python3-mypy mono-devel \
  clang lld llvm pkg-config dpkg-dev file \
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static tshark \
  nlohmann-json3-dev libboost1.81-dev chromium libclang-rt-14-dev gdb help2man python3-jsonschema ser2net "${node_packages[@]}"

# Arguments, if any, name the suites to run (their functions, e.g. "wine_suite
# arm_suite"); without them every suite runs.
only_suites=" $* "
suites_passed=0
suites_failed=0
run_suite() { # name, command...
  local name=$1
  shift
  [ "$only_suites" = "  " ] || [[ "$only_suites" == *" $1 "* ]] || return 0
  echo
  echo "================ $name"
  local started=$SECONDS
  if "$@"; then
    suites_passed=$((suites_passed + 1))
    echo "================ $name: passed ($((SECONDS - started)) s)"
  else
    suites_failed=$((suites_failed + 1))
    echo "================ $name: FAILED ($((SECONDS - started)) s)"
  fi
}

# Every table of the bus's facts against the public header, and planted drifts
# (one per table) that the check must catch, naming the file and the constant.
facts_suite() {
  /usr/bin/python3 scripts/check_facts.py &&
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/facts
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
    (cd tests/web && SCREENSHOT="$PWD/../../build/dashboard.png" MOTION_SCREENSHOT="$PWD/../../build/motion-panel.png" \
      node --test endpoints.test.mjs dashboard.test.mjs motion.test.mjs)
}

# The library and its test suites (no tools, no allocation counter) built with
# sanitizers. Usage: sanitized_build DIR BUILD_TYPE SANITIZERS [EXTRA_CXX_FLAGS]
sanitized_build() {
  local dir=$1 type=$2 sanitizers=$3 extra=${4:-}
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DZAV_BUILD_TOOLS=OFF -DZAV_ALLOC_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=$sanitizers -fno-omit-frame-pointer $extra" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitizers" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=$sanitizers" >/dev/null &&
    cmake --build "$dir" -j"$jobs"
}

sanitizer_suite() {
  sanitized_build build-asan Debug address,undefined -fno-sanitize-recover=all &&
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j"$jobs"
}

# The suites again under ThreadSanitizer, then a long run of the thread stress
# program (its watchdog prints every thread's stack if it deadlocks).
tsan_suite() {
  sanitized_build build-tsan RelWithDebInfo thread &&
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -j"$jobs" &&
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/thread_stress --seconds 60
}

# libFuzzer for about a minute per target from the checked-in seeds: the
# library's calls and zavctl serve's request handling, then half a minute of
# the motion file reader. New inputs go to build-fuzz/corpus,
# build-fuzz/serve_corpus and build-fuzz/motion-corpus, a finding to
# build-fuzz/crash-* (build-fuzz/motion-crash-* for the motion reader).
fuzz_suite() {
  cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZAV_BUILD_FUZZ=ON -DZAV_BUILD_TESTS=OFF -DZAV_BUILD_TOOLS=OFF >/dev/null &&
    cmake --build build-fuzz -j"$jobs" --target zavlib_fuzz serve_fuzz motion_fuzz &&
    mkdir -p build-fuzz/corpus build-fuzz/serve_corpus build-fuzz/motion-corpus &&
    build-fuzz/zavlib_fuzz -max_total_time=60 -timeout=30 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
      build-fuzz/corpus fuzz/corpus &&
    build-fuzz/serve_fuzz -max_total_time=60 -timeout=30 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
      build-fuzz/serve_corpus fuzz/serve_corpus &&
    build-fuzz/motion_fuzz -max_total_time=30 -max_len=8192 -timeout=30 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/motion- build-fuzz/motion-corpus fuzz/motion_corpus
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

# zavctl doctor against simulated line faults, the Wireshark dissector under
# tshark, and one brief run of the exchange and motion benchmarks (figures
# only, no limits).
diagnostics_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j"$jobs" --target diagnostics_tests exchange_bench motion_bench &&
    build/diagnostics_tests &&
    build/exchange_bench --benchmark_repetitions=1 --benchmark_min_time=0.01 --pairs=10 --benchmark_color=false &&
    build/motion_bench --seconds 2
}

# Needs the Linux, x64 and x86 builds above; leaves the .deb files in build/ and
# the Windows zip in build-windows/.
package_suite() {
  scripts/package-tests.sh build build-x64 build-x86
}

msvc_suite() {
  scripts/msvc-tests.sh build-x64 build-x86
}

bindings_suite() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j"$jobs" --target zavlib zavsim zavctl &&
    bindings/run-tests.sh build
}

# Tests that cannot run under qemu's user mode, which lacks these calls:
# - AnyBaudRate opens at 1250000, a rate only termios2 can set;
# - LineSettingsAreRawAndCloseClearsExclusiveMode reads the exclusive flag (TIOCGEXCL);
# - the device suite's rate changes on a pseudo-terminal go to 1000000, also termios2's.
arm_excluded='^(DeviceTest\.AnyBaudRate|PosixDevice\.LineSettingsAreRawAndCloseClearsExclusiveMode'
arm_excluded+='|Devices/DeviceConformance\.RateChangesReachTheLine/Pty .*)$'

# cpack in an ARM build folder: three Debian packages whose names and control
# fields carry the target's architecture, holding the library, zavctl and zavsim,
# and nothing inside built for another.
arm_packages() { # build folder, Debian architecture, ELF machine
  local dir=$1 arch=$2 machine=$3 deb debs=0 elf unpacked=$1/deb-contents
  rm -rf "$dir"/*.deb "$unpacked"
  (cd "$dir" && cpack >/dev/null) || return 1
  for deb in "$dir"/*.deb; do
    debs=$((debs + 1))
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Architecture)"
    [[ $deb == *_"$arch".deb && $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || return 1
    dpkg-deb -x "$deb" "$unpacked"
  done
  for elf in $(find "$unpacked" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print); do
    readelf -h "$elf" | grep -q "Machine: *$machine\$" || { echo "not for $machine: $elf"; return 1; }
  done
  [ "$debs" -eq 3 ] && [ -f "$unpacked/usr/lib/libzavlib.so.1" ] && [ -x "$unpacked/usr/bin/zavctl" ] &&
    [ -x "$unpacked/usr/bin/zavsim" ]
}

# The tests run one at a time: emulated programs are several times slower, and
# the device tests' reply windows are real time.
arm_suite() {
  local target name arch machine failed=0
  for target in "aarch64 arm64 AArch64" "armhf armhf ARM"; do
    read -r name arch machine <<<"$target"
    echo "---- $name"
    cmake -S . -B "build-$name" -DCMAKE_TOOLCHAIN_FILE="cmake/linux-$name.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      >/dev/null &&
      cmake --build "build-$name" -j"$jobs" &&
      [ -x "build-$name/zavsim" ] && [ -x "build-$name/zavctl" ] &&
      ctest --test-dir "build-$name" --output-on-failure --no-tests=error -E "$arm_excluded" &&
      arm_packages "build-$name" "$arch" "$machine" ||
      failed=1
  done
  [ "$failed" -eq 0 ]
}

run_suite "Facts: every table against include/zavlib.h, and planted drifts" facts_suite
run_suite "Linux: unit tests and pseudo-terminal tests" linux_suite
run_suite "zavctl serve: endpoints and the page in a browser" dashboard_suite
run_suite "Diagnostics: zavctl doctor, Wireshark dissector, exchange and motion benchmarks" diagnostics_suite
run_suite "Linux under AddressSanitizer and UndefinedBehaviorSanitizer" sanitizer_suite
run_suite "ThreadSanitizer suites and stress test" tsan_suite
run_suite "fuzzing (bounded)" fuzz_suite
run_suite "zavlib_x64.dll under wine64" wine_suite
run_suite "zavlib_x32.dll export, import and calling-convention checks" x32_suite
run_suite "Install, Debian packages, Windows zip and their consumers" package_suite
run_suite "Visual Studio import libraries and the public header" msvc_suite
run_suite "Python and C# bindings on the simulated bus, and every binding's declarations" bindings_suite
run_suite "ARM Linux (aarch64, armhf) under qemu" arm_suite

echo
echo "suites: $suites_passed passed, $suites_failed failed"
[ "$suites_failed" -eq 0 ]
