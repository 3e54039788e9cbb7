# The motion engine (tools/motion): motion files, playback and teach-in, a
# client of the public header, for zavctl play and record, the dashboard and
# the motion tests. JSON through nlohmann/json (Debian: nlohmann-json3-dev),
# header-only, its headers alone copied into the build folder.
# Sets ZAV_MOTION_READY when the library zavmotion exists.
set(ZAV_MOTION_READY OFF)
if(TARGET zavmotion)
  set(ZAV_MOTION_READY ON)
elseif(EXISTS /usr/include/nlohmann/json.hpp)
  file(COPY /usr/include/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/motion-include)
  add_library(zavmotion STATIC ${CMAKE_SOURCE_DIR}/tools/motion/motion_file.cpp
                               ${CMAKE_SOURCE_DIR}/tools/motion/motion_sampler.cpp
                               ${CMAKE_SOURCE_DIR}/tools/motion/motion_player.cpp)
  target_include_directories(zavmotion PUBLIC ${CMAKE_SOURCE_DIR}/tools/motion)
  target_include_directories(zavmotion SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/motion-include)
  # The sampler's goals must match the Python package's to the last position:
  # no fused multiply-adds, and SSE arithmetic on 32-bit x86 as on the others.
  target_compile_options(zavmotion PRIVATE ${ZAV_WARNINGS} -ffp-contract=off)
  if(WIN32)
    target_link_libraries(zavmotion PUBLIC ${ZAV_DLL} PRIVATE winmm)
    if(ZAV_DLL STREQUAL zavlib_x32)
      target_compile_options(zavmotion PRIVATE -msse2 -mfpmath=sse)
    endif()
  else()
    target_link_libraries(zavmotion PUBLIC zavlib)
  endif()
  set(ZAV_MOTION_READY ON)
else()
  message(STATUS "nlohmann/json not found (Debian: nlohmann-json3-dev): zavctl play and record are not built")
endif()
