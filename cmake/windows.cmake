# Windows: zavlib_x64.dll or zavlib_x32.dll (by the toolchain's pointer size),
# each with an import library, importing only Windows system DLLs.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZAV_DLL zavlib_x64)
  set(ZAV_DLLTOOL_MACHINE i386:x86-64)
else()
  set(ZAV_DLL zavlib_x32)
  set(ZAV_DLLTOOL_MACHINE i386)
endif()

add_library(${ZAV_DLL} SHARED ${ZAV_LIBRARY_SOURCES} src/devices/serial_win.cpp src/platform_win.cpp src/socket_win.cpp)
target_include_directories(${ZAV_DLL} PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                              $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}> PRIVATE src)
target_compile_options(${ZAV_DLL} PRIVATE ${ZAV_WARNINGS} -fno-exceptions -fno-rtti)
if(ZAV_DLL STREQUAL zavlib_x32)
  # Same double arithmetic as the 64-bit build (no x87 extended intermediates).
  target_compile_options(${ZAV_DLL} PRIVATE -msse2 -mfpmath=sse)
endif()
# The C++ runtime and libgcc are linked in: the DLL needs only KERNEL32 and msvcrt.
target_link_options(${ZAV_DLL} PRIVATE -static -static-libgcc -static-libstdc++
                    ${CMAKE_SOURCE_DIR}/src/${ZAV_DLL}.def)
set_target_properties(${ZAV_DLL} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".dll.a"
                      LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/${ZAV_DLL}.def)
# The .lib for Visual Studio, from the same export list, in the short import
# format that Microsoft's own tools write: x86 links with /SAFESEH (the default)
# accept it, where a GNU dlltool archive fails them.
find_program(ZAV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
add_custom_command(TARGET ${ZAV_DLL} POST_BUILD
  COMMAND ${ZAV_LLVM_DLLTOOL} -m ${ZAV_DLLTOOL_MACHINE} -d ${CMAKE_SOURCE_DIR}/src/${ZAV_DLL}.def -l ${ZAV_DLL}.lib
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)

if(ZAV_BUILD_TESTS AND ZAV_DLL STREQUAL zavlib_x64 AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "GoogleTest is not part of an install" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  add_library(zavsim_runner STATIC tools/sim/bus_runner.cpp)
  target_include_directories(zavsim_runner PUBLIC tools/sim)
  target_link_libraries(zavsim_runner PUBLIC zavsim_model)
  target_compile_options(zavsim_runner PRIVATE ${ZAV_WARNINGS})

  # The device suite of the Linux build, run against the DLL over COM ports.
  file(GLOB ZAV_DEVICE_TESTS CONFIGURE_DEPENDS tests/integration/*.cpp)
  list(FILTER ZAV_DEVICE_TESTS EXCLUDE REGEX "/posix_[^/]*$")
  add_executable(windows_tests ${ZAV_DEVICE_TESTS} tests/windows/com_harness.cpp tests/windows/windows_main.cpp
                               tests/windows/dll_test.cpp tests/conformance/device_conformance_test.cpp
                               tests/conformance/kinds_windows.cpp)
  target_include_directories(windows_tests PRIVATE tests/integration tests/conformance)
  target_link_libraries(windows_tests PRIVATE ${ZAV_DLL} zavsim_runner gtest)
  target_compile_options(windows_tests PRIVATE ${ZAV_WARNINGS})
  target_link_options(windows_tests PRIVATE -static)
endif()

if(ZAV_BUILD_TOOLS AND EXISTS /usr/include/CLI/CLI.hpp)
  # CLI11 is header-only; take its headers alone, not the host's /usr/include.
  file(COPY /usr/include/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)
  add_executable(zavctl ${ZAVCTL_SOURCES})
  target_include_directories(zavctl SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/cli11)
  target_include_directories(zavctl PRIVATE tools/motion)
  target_link_libraries(zavctl PRIVATE ${ZAV_DLL} zavsim_model setupapi)
  target_compile_options(zavctl PRIVATE ${ZAV_WARNINGS})
  target_link_options(zavctl PRIVATE -static)
  include(${CMAKE_CURRENT_LIST_DIR}/motion.cmake)
  if(ZAV_MOTION_READY)
    target_link_libraries(zavctl PRIVATE zavmotion)
    target_compile_definitions(zavctl PRIVATE ZAVCTL_HAS_MOTION=1)
  endif()
  include(${CMAKE_CURRENT_LIST_DIR}/dashboard.cmake)
  zav_add_dashboard(zavctl)
endif()
