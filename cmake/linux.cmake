# Linux: libzavlib.so, the unit tests over the in-memory bus, the
# pseudo-terminal integration tests and the tools.

add_library(zavlib SHARED ${ZAV_LIBRARY_SOURCES} src/devices/serial_posix.cpp src/platform_posix.cpp src/socket_posix.cpp)
target_include_directories(zavlib PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                         $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}> PRIVATE src)
target_compile_options(zavlib PRIVATE ${ZAV_WARNINGS} -fvisibility=hidden -fno-exceptions -fno-rtti
                                      -fno-semantic-interposition)
target_link_libraries(zavlib PRIVATE pthread)
set_target_properties(zavlib PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

include(${CMAKE_CURRENT_LIST_DIR}/python-wheel.cmake)

# The pseudo-terminal link between the model and a host.
add_library(zavsim_pty STATIC tools/sim/pty_link.cpp tools/sim/pty_baud.cpp tools/sim/bus_runner.cpp
                              tools/sim/bus_capture.cpp)
target_include_directories(zavsim_pty PUBLIC tools/sim)
target_link_libraries(zavsim_pty PUBLIC zavsim_model pthread)
target_compile_options(zavsim_pty PRIVATE ${ZAV_WARNINGS})

# Library time of exchanges on a pseudo-terminal (run by hand: build/exchange_bench).
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(exchange_bench bench/exchange_bench.cpp tests/support/ser2net_bridge.cpp)
  target_include_directories(exchange_bench PRIVATE tests/support tests/integration)
  target_link_libraries(exchange_bench PRIVATE zavlib zavsim_pty benchmark::benchmark)
  target_compile_options(exchange_bench PRIVATE ${ZAV_WARNINGS})
endif()

if(ZAV_BUILD_TESTS)
  find_package(GTest)
  if(NOT GTest_FOUND AND CMAKE_CROSSCOMPILING AND EXISTS /usr/src/googletest/CMakeLists.txt)
    # A cross build has no GoogleTest for its target: build it from Debian's
    # sources, for the tests only (never installed or packaged).
    set(INSTALL_GTEST OFF)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(GTest_FOUND TRUE)
  endif()
  if(NOT GTest_FOUND)
    message(STATUS "GoogleTest not found (Debian: libgtest-dev): the tests are not built")
    set(ZAV_BUILD_TESTS OFF)
  endif()
endif()

if(ZAV_BUILD_TESTS)
  enable_testing()
  include(GoogleTest)

  # The library with the unit tests' device in the serial backend's place, on a virtual clock.
  add_library(zavlib_memory STATIC ${ZAV_LIBRARY_SOURCES} src/socket_posix.cpp tests/support/memory_bus.cpp)
  target_include_directories(zavlib_memory PUBLIC include src tests/support)
  target_compile_options(zavlib_memory PRIVATE ${ZAV_WARNINGS})

  file(GLOB ZAV_UNIT_TESTS CONFIGURE_DEPENDS tests/unit/*.cpp)
  add_executable(unit_tests ${ZAV_UNIT_TESTS} tests/conformance/device_conformance_test.cpp
                            tests/conformance/kinds_unit.cpp)
  target_include_directories(unit_tests PRIVATE tests/conformance)
  target_link_libraries(unit_tests PRIVATE zavlib_memory GTest::gtest_main)
  target_compile_options(unit_tests PRIVATE ${ZAV_WARNINGS})
  gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 30)

  # Debian's ser2net: the network devices' far end in the conformance suite and
  # the network tests.
  find_program(ZAV_SER2NET ser2net PATHS /usr/sbin /sbin)
  if(NOT ZAV_SER2NET)
    set(ZAV_SER2NET /usr/sbin/ser2net)
  endif()

  file(GLOB ZAV_INTEGRATION_TESTS CONFIGURE_DEPENDS tests/integration/*.cpp)
  add_executable(pty_tests ${ZAV_INTEGRATION_TESTS} tests/support/linux_bus_fixture.cpp tests/support/ser2net_bridge.cpp
                           tests/conformance/device_conformance_test.cpp tests/conformance/kinds_linux.cpp)
  target_include_directories(pty_tests PRIVATE tests/support tests/integration tests/conformance)
  target_link_libraries(pty_tests PRIVATE zavlib zavsim_pty GTest::gtest_main ${CMAKE_DL_LIBS})
  target_compile_options(pty_tests PRIVATE ${ZAV_WARNINGS})
  target_compile_definitions(pty_tests PRIVATE ZAVLIB_SO_PATH="$<TARGET_FILE:zavlib>" ZAV_SER2NET_PATH="${ZAV_SER2NET}")
  gtest_discover_tests(pty_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

  # Threads sharing one port, and others opening and closing ports; run short
  # here, and long under ThreadSanitizer (scripts/test-all.sh).
  add_executable(thread_stress tests/stress/thread_stress.cpp)
  target_include_directories(thread_stress PRIVATE tests/support)
  target_link_libraries(thread_stress PRIVATE zavlib zavsim_pty)
  target_compile_options(thread_stress PRIVATE ${ZAV_WARNINGS})
  add_test(NAME ThreadStress.ShortRun COMMAND thread_stress --seconds 3)
  add_test(NAME ThreadStress.SimBus COMMAND thread_stress --seconds 3 --port sim:0-31?latency_ms=1)
  set_tests_properties(ThreadStress.ShortRun ThreadStress.SimBus PROPERTIES TIMEOUT 300)

  # The allocation counter replaces the C allocator, which sanitizers do too.
  if(ZAV_ALLOC_TESTS)
    add_executable(no_heap_tests tests/alloc/no_heap_test.cpp tests/alloc/heap_counter.cpp
                                 tests/support/linux_bus_fixture.cpp)
    target_include_directories(no_heap_tests PRIVATE tests/integration tests/alloc)
    target_link_libraries(no_heap_tests PRIVATE zavlib zavsim_pty GTest::gtest_main)
    target_compile_options(no_heap_tests PRIVATE ${ZAV_WARNINGS})
    gtest_discover_tests(no_heap_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
  endif()

  # Joins the pseudo-terminals that the Windows suite uses under Wine.
  add_executable(wine_relay tests/windows/wine_relay.cpp)
  target_compile_options(wine_relay PRIVATE ${ZAV_WARNINGS})
endif()

find_path(ZAV_CLI11_INCLUDE CLI/CLI.hpp)
if(NOT ZAV_CLI11_INCLUDE AND CMAKE_CROSSCOMPILING AND EXISTS /usr/include/CLI/CLI.hpp)
  # CLI11 is header-only: the host's copy serves any target. Take its headers
  # alone, not the host's /usr/include.
  file(COPY /usr/include/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)
  set(ZAV_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11 CACHE PATH "CLI11 headers" FORCE)
endif()
if(ZAV_BUILD_TOOLS AND ZAV_CLI11_INCLUDE)
  include(cmake/tools.cmake)
elseif(ZAV_BUILD_TOOLS)
  message(STATUS "CLI11 not found (Debian: libcli11-dev): zavsim and zavctl are not built")
endif()

# The network devices through ser2net and against misbehaving loopback servers.
if(ZAV_BUILD_TESTS)
  file(GLOB ZAV_NETWORK_TESTS CONFIGURE_DEPENDS tests/network/*.cpp)
  add_executable(network_tests ${ZAV_NETWORK_TESTS} tests/support/ser2net_bridge.cpp tests/support/test_server.cpp)
  target_include_directories(network_tests PRIVATE tests/support tests/integration tests/tools)
  target_link_libraries(network_tests PRIVATE zavlib zavsim_pty GTest::gtest_main)
  target_compile_options(network_tests PRIVATE ${ZAV_WARNINGS})
  target_compile_definitions(network_tests PRIVATE ZAV_SER2NET_PATH="${ZAV_SER2NET}")
  gtest_discover_tests(network_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
endif()
