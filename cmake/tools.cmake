# zavsim (Linux) and zavctl (Linux and Windows).

add_library(zavsim_trace STATIC tools/sim/trace_format.cpp)
target_include_directories(zavsim_trace PUBLIC tools/sim)
target_link_libraries(zavsim_trace PUBLIC zavsim_model)
target_compile_options(zavsim_trace PRIVATE ${ZAV_WARNINGS})

add_executable(zavsim tools/zavsim/main.cpp tools/zavsim/bus_commands.cpp)
target_include_directories(zavsim SYSTEM PRIVATE ${ZAV_CLI11_INCLUDE})
target_link_libraries(zavsim PRIVATE zavsim_pty zavsim_trace)
target_compile_options(zavsim PRIVATE ${ZAV_WARNINGS})

add_executable(zavctl ${ZAVCTL_SOURCES})
target_include_directories(zavctl SYSTEM PRIVATE ${ZAV_CLI11_INCLUDE})
target_include_directories(zavctl PRIVATE tools/motion)
target_link_libraries(zavctl PRIVATE zavlib zavsim_model)
target_compile_options(zavctl PRIVATE ${ZAV_WARNINGS})
include(${CMAKE_CURRENT_LIST_DIR}/motion.cmake)
if(ZAV_MOTION_READY)
  target_link_libraries(zavctl PRIVATE zavmotion)
  target_compile_definitions(zavctl PRIVATE ZAVCTL_HAS_MOTION=1)
  # Motion playback against the clock (run by hand: build/motion_bench).
  add_executable(motion_bench bench/motion_bench.cpp)
  target_link_libraries(motion_bench PRIVATE zavmotion)
  target_compile_options(motion_bench PRIVATE ${ZAV_WARNINGS})
endif()
include(${CMAKE_CURRENT_LIST_DIR}/dashboard.cmake)
zav_add_dashboard(zavctl)

if(ZAV_BUILD_TESTS)
  add_executable(tool_tests tests/tools/tool_test.cpp)
  if(ZAV_MOTION_READY)
    target_sources(tool_tests PRIVATE tests/tools/motion_cli_test.cpp)
  endif()
  target_link_libraries(tool_tests PRIVATE zavlib GTest::gtest_main)
  target_compile_options(tool_tests PRIVATE ${ZAV_WARNINGS})
  target_compile_definitions(tool_tests PRIVATE ZAVSIM_PATH="$<TARGET_FILE:zavsim>" ZAVCTL_PATH="$<TARGET_FILE:zavctl>"
                                                ZAV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # A cross build's tests run under an emulator, and so must the programs they start.
  set(launcher "")
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND launcher "\"${word}\",")
  endforeach()
  target_compile_definitions(tool_tests PRIVATE "ZAV_TOOL_LAUNCHER=${launcher}")
  add_dependencies(tool_tests zavsim zavctl)
  gtest_discover_tests(tool_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

  # The motion engine: its file table and golden goals (shared with the Python
  # package's tests), playback and teach-in on a simulated bus.
  if(ZAV_MOTION_READY)
    add_executable(motion_tests tests/motion/motion_test.cpp tests/support/linux_bus_fixture.cpp)
    target_include_directories(motion_tests PRIVATE tests/integration)
    target_include_directories(motion_tests SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/motion-include)
    target_link_libraries(motion_tests PRIVATE zavmotion zavsim_pty GTest::gtest_main)
    target_compile_options(motion_tests PRIVATE ${ZAV_WARNINGS})
    target_compile_definitions(motion_tests PRIVATE ZAV_MOTION_DATA="${CMAKE_SOURCE_DIR}/tests/data/motion")
    gtest_discover_tests(motion_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
  endif()

  # zavctl ports' discovery against a sysfs tree of its own.
  add_executable(ports_tests tests/tools/ports_test.cpp tools/zavctl/ports.cpp tools/zavctl/line_info.cpp
                           tools/zavctl/status_text.cpp)
  target_include_directories(ports_tests PRIVATE tools/zavctl)
  target_link_libraries(ports_tests PRIVATE zavlib GTest::gtest_main)
  target_compile_options(ports_tests PRIVATE ${ZAV_WARNINGS})
  gtest_discover_tests(ports_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

  # zavctl doctor against simulated faults, and the Wireshark dissector through
  # tshark; run by scripts/test-all.sh as a suite of their own, not by ctest.
  find_program(ZAV_TSHARK tshark)
  if(NOT ZAV_TSHARK)
    set(ZAV_TSHARK /usr/bin/tshark)
  endif()
  add_executable(diagnostics_tests tests/tools/diagnostics_test.cpp)
  target_link_libraries(diagnostics_tests PRIVATE GTest::gtest_main)
  target_compile_options(diagnostics_tests PRIVATE ${ZAV_WARNINGS})
  target_compile_definitions(diagnostics_tests PRIVATE ZAVSIM_PATH="$<TARGET_FILE:zavsim>" ZAVCTL_PATH="$<TARGET_FILE:zavctl>"
                             TSHARK_PATH="${ZAV_TSHARK}" ZAVBUS_LUA_PATH="${CMAKE_SOURCE_DIR}/tools/wireshark/zavbus.lua")
  add_dependencies(diagnostics_tests zavsim zavctl)
endif()

# zavctl doctor over a network bridge joins the network tests where zavctl is built.
if(TARGET network_tests)
  target_compile_definitions(network_tests PRIVATE ZAVCTL_PATH="$<TARGET_FILE:zavctl>" ZAVSIM_PATH="$<TARGET_FILE:zavsim>")
  add_dependencies(network_tests zavctl)
endif()
