# The fuzz target (libFuzzer, with Address- and UndefinedBehaviorSanitizer):
#   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DZAV_BUILD_FUZZ=ON
#   build-fuzz/zavlib_fuzz fuzz/corpus
# It builds the core over the in-memory bus with its own flags, so the rest
# of the tree is unaffected.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "ZAV_BUILD_FUZZ needs clang (libFuzzer): add -DCMAKE_CXX_COMPILER=clang++")
endif()
set(ZAV_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_executable(zavlib_fuzz fuzz/zavlib_fuzz.cpp fuzz/network_far_end.cpp ${ZAV_LIBRARY_SOURCES} tests/support/memory_bus.cpp)
target_include_directories(zavlib_fuzz PRIVATE include src tests/support fuzz)
target_compile_options(zavlib_fuzz PRIVATE ${ZAV_WARNINGS} ${ZAV_FUZZ_FLAGS})
target_link_options(zavlib_fuzz PRIVATE ${ZAV_FUZZ_FLAGS})

# The second target: whole HTTP requests through zavctl serve's routing and
# handlers on the library's simulated bus (sim:), without sockets:
#   build-fuzz/serve_fuzz fuzz/serve_corpus
# It embeds the page's own files (not uPlot, which needs npm).
set(page ${CMAKE_SOURCE_DIR}/tools/dashboard)
set(files index.html facts.js app.js motion.js app.css)
set(list "")
set(depends ${CMAKE_SOURCE_DIR}/cmake/embed-assets.cmake)
foreach(file IN LISTS files)
  string(APPEND list "/${file}|${page}/${file}\n")
  list(APPEND depends ${page}/${file})
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/fuzz-assets.list "${list}")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/fuzz_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_BINARY_DIR}/fuzz_assets.cpp -DLIST=${CMAKE_BINARY_DIR}/fuzz-assets.list
          -P ${CMAKE_SOURCE_DIR}/cmake/embed-assets.cmake
  DEPENDS ${depends} VERBATIM)
set(web ${CMAKE_SOURCE_DIR}/tools/zavctl)
set(motion ${CMAKE_SOURCE_DIR}/tools/motion)
add_executable(serve_fuzz fuzz/serve_fuzz.cpp ${ZAV_LIBRARY_SOURCES} src/devices/serial_posix.cpp src/platform_posix.cpp
                          src/socket_posix.cpp
                          ${web}/web_router.cpp ${web}/http_message.cpp ${web}/dashboard_routes.cpp
                          ${web}/bus_worker.cpp ${web}/status_text.cpp ${web}/motion_desk.cpp
                          ${motion}/motion_file.cpp ${motion}/motion_sampler.cpp ${motion}/motion_player.cpp
                          ${CMAKE_BINARY_DIR}/fuzz_assets.cpp)
target_include_directories(serve_fuzz PRIVATE include src tools/zavctl tools/motion)
target_compile_options(serve_fuzz PRIVATE ${ZAV_WARNINGS} ${ZAV_FUZZ_FLAGS})
find_package(Threads REQUIRED)
target_link_libraries(serve_fuzz PRIVATE Threads::Threads)
target_link_options(serve_fuzz PRIVATE ${ZAV_FUZZ_FLAGS})

# The motion file reader (tools/motion), with nlohmann/json's headers alone.
file(COPY /usr/include/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/motion-include)
add_executable(motion_fuzz fuzz/motion_fuzz.cpp tools/motion/motion_file.cpp tools/motion/motion_sampler.cpp)
target_include_directories(motion_fuzz PRIVATE include tools/motion)
target_include_directories(motion_fuzz SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/motion-include)
target_compile_options(motion_fuzz PRIVATE ${ZAV_WARNINGS} ${ZAV_FUZZ_FLAGS})
target_link_options(motion_fuzz PRIVATE ${ZAV_FUZZ_FLAGS})
