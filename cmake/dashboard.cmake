# `zavctl serve`: the web dashboard built into zavctl. Its third-party parts
# come through package managers, and the build folder points at them:
#   - Boost.Beast and Boost.Asio, header-only, from Debian's libboost1.81-dev
#     (the same headers serve the Linux, MinGW and ARM builds);
#   - nlohmann/json, header-only, from Debian's nlohmann-json3-dev;
#   - uPlot from npm, as tools/dashboard/package-lock.json pins it.
# ZAV_DASHBOARD: AUTO builds `serve` when these can be had, ON requires them,
# OFF leaves `serve` out (zavctl then says so when asked for it).
set(ZAV_DASHBOARD AUTO CACHE STRING "Build zavctl serve: AUTO, ON (required) or OFF")
set_property(CACHE ZAV_DASHBOARD PROPERTY STRINGS AUTO ON OFF)

set(ZAV_DASHBOARD_DIR ${CMAKE_BINARY_DIR}/dashboard)
set(ZAV_DASHBOARD_READY OFF)
set(ZAV_DASHBOARD_MISSING "")

if(NOT ZAV_DASHBOARD STREQUAL "OFF")
  # Boost: its headers alone, through a link, not the host's /usr/include
  # (which a cross build must not see).
  file(GLOB boost_copyright /usr/share/doc/libboost1.*-dev/copyright)
  if(EXISTS /usr/include/boost/beast/http.hpp AND boost_copyright)
    file(MAKE_DIRECTORY ${ZAV_DASHBOARD_DIR}/boost)
    file(CREATE_LINK /usr/include/boost ${ZAV_DASHBOARD_DIR}/boost/boost SYMBOLIC)
  else()
    string(APPEND ZAV_DASHBOARD_MISSING "Boost.Beast is not installed (Debian: libboost1.81-dev); ")
  endif()

  # nlohmann/json: its headers alone, not the host's /usr/include.
  if(EXISTS /usr/include/nlohmann/json.hpp)
    file(COPY /usr/include/nlohmann DESTINATION ${ZAV_DASHBOARD_DIR}/include)
  else()
    string(APPEND ZAV_DASHBOARD_MISSING "nlohmann/json is not installed (Debian: nlohmann-json3-dev); ")
  endif()

  # uPlot, installed again only when the lockfile changes.
  set(lock ${CMAKE_SOURCE_DIR}/tools/dashboard/package-lock.json)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${lock} ${CMAKE_SOURCE_DIR}/tools/dashboard/package.json)
  set(npm_dir ${ZAV_DASHBOARD_DIR}/npm)
  set(uplot ${npm_dir}/node_modules/uplot)
  file(SHA256 ${lock} lock_hash)
  if(EXISTS ${npm_dir}/package-lock.json)
    file(SHA256 ${npm_dir}/package-lock.json installed_hash)
  else()
    set(installed_hash none)
  endif()
  if(NOT EXISTS ${uplot}/dist/uPlot.iife.min.js OR NOT lock_hash STREQUAL installed_hash)
    find_program(ZAV_NPM npm)
    if(ZAV_NPM)
      message(STATUS "zavctl serve: installing uPlot with npm")
      file(COPY ${CMAKE_SOURCE_DIR}/tools/dashboard/package.json ${lock} DESTINATION ${npm_dir})
      execute_process(COMMAND ${ZAV_NPM} ci --no-audit --no-fund --ignore-scripts --loglevel=error
                      WORKING_DIRECTORY ${npm_dir} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
      if(NOT status EQUAL 0)
        file(REMOVE ${npm_dir}/package-lock.json)
        string(APPEND ZAV_DASHBOARD_MISSING "npm ci failed (${err}); ")
      endif()
    else()
      string(APPEND ZAV_DASHBOARD_MISSING "npm is not installed (Node.js); ")
    endif()
  endif()

  if(ZAV_DASHBOARD_MISSING STREQUAL "")
    set(ZAV_DASHBOARD_READY ON)
    # Boost's licence, from Debian's copyright file of the package (one of its
    # paragraphs, in the file's indented form).
    list(GET boost_copyright 0 boost_copyright)
    file(READ ${boost_copyright} text)
    string(FIND "${text}" "\nLicense: BSL-1.0\n Boost Software License" start)
    if(start LESS 0)
      message(FATAL_ERROR "zavctl serve: no Boost Software License text in ${boost_copyright}")
    endif()
    string(SUBSTRING "${text}" ${start} -1 text)
    string(FIND "${text}" "\n\n" end)
    string(SUBSTRING "${text}" 0 ${end} text)
    string(REGEX REPLACE "\nLicense: BSL-1.0\n" "" text "${text}")
    string(REGEX REPLACE "(^|\n) \\.(\n|$)" "\\1\\2" text "${text}")
    string(REGEX REPLACE "(^|\n) " "\\1" text "${text}")
    file(WRITE ${ZAV_DASHBOARD_DIR}/boost-license.txt
         "Boost.Beast, Boost.Asio and the Boost libraries they use (https://www.boost.org/),\n"
         "as Debian packages them (${boost_copyright}).\n\n${text}\n")

    # The licences of what is built in, served as /licenses.txt.
    set(licenses "zavctl serve includes the following third-party software.\n")
    foreach(entry "uPlot|${uplot}/LICENSE" "Boost|${ZAV_DASHBOARD_DIR}/boost-license.txt"
                  "nlohmann/json|/usr/share/doc/nlohmann-json3-dev/copyright")
      string(REPLACE "|" ";" entry "${entry}")
      list(GET entry 0 name)
      list(GET entry 1 file)
      file(READ ${file} text)
      string(APPEND licenses "\n================ ${name}\n\n${text}")
    endforeach()
    file(WRITE ${ZAV_DASHBOARD_DIR}/licenses.txt.tmp "${licenses}")
    file(COPY_FILE ${ZAV_DASHBOARD_DIR}/licenses.txt.tmp ${ZAV_DASHBOARD_DIR}/licenses.txt ONLY_IF_DIFFERENT)
    file(REMOVE ${ZAV_DASHBOARD_DIR}/licenses.txt.tmp)

    set(page ${CMAKE_SOURCE_DIR}/tools/dashboard)
    set(ZAV_DASHBOARD_FILES
        "/index.html|${page}/index.html" "/facts.js|${page}/facts.js" "/app.js|${page}/app.js"
        "/motion.js|${page}/motion.js" "/app.css|${page}/app.css"
        "/uPlot.iife.min.js|${uplot}/dist/uPlot.iife.min.js" "/uPlot.min.css|${uplot}/dist/uPlot.min.css"
        "/licenses.txt|${ZAV_DASHBOARD_DIR}/licenses.txt")
    string(REPLACE ";" "\n" list_text "${ZAV_DASHBOARD_FILES}")
    file(WRITE ${ZAV_DASHBOARD_DIR}/assets.list "${list_text}\n")
    set(ZAV_DASHBOARD_DEPENDS ${ZAV_DASHBOARD_DIR}/assets.list ${CMAKE_SOURCE_DIR}/cmake/embed-assets.cmake)
    foreach(entry IN LISTS ZAV_DASHBOARD_FILES)
      string(REGEX REPLACE "^[^|]*\\|" "" file "${entry}")
      list(APPEND ZAV_DASHBOARD_DEPENDS ${file})
    endforeach()
    add_custom_command(OUTPUT ${ZAV_DASHBOARD_DIR}/dashboard_assets.cpp
      COMMAND ${CMAKE_COMMAND} -DOUT=${ZAV_DASHBOARD_DIR}/dashboard_assets.cpp -DLIST=${ZAV_DASHBOARD_DIR}/assets.list
              -P ${CMAKE_SOURCE_DIR}/cmake/embed-assets.cmake
      DEPENDS ${ZAV_DASHBOARD_DEPENDS}
      COMMENT "Embedding the dashboard's files" VERBATIM)
  elseif(ZAV_DASHBOARD STREQUAL "ON")
    message(FATAL_ERROR "zavctl serve: ${ZAV_DASHBOARD_MISSING}")
  else()
    message(STATUS "zavctl serve: not built: ${ZAV_DASHBOARD_MISSING}")
  endif()
endif()

# Adds `serve` to zavctl when its parts are at hand.
function(zav_add_dashboard target)
  if(NOT ZAV_DASHBOARD_READY)
    return()
  endif()
  set(dir ${CMAKE_SOURCE_DIR}/tools/zavctl)
  target_sources(${target} PRIVATE ${dir}/serve.cpp ${dir}/http_server.cpp ${dir}/http_message.cpp
                                   ${dir}/web_router.cpp ${dir}/dashboard_routes.cpp ${dir}/bus_worker.cpp
                                   ${dir}/motion_desk.cpp ${ZAV_DASHBOARD_DIR}/dashboard_assets.cpp)
  # The Motion panel's routes run the motion engine (motion.cmake, which needs
  # nlohmann/json as the dashboard does).
  target_link_libraries(${target} PRIVATE zavmotion)
  target_include_directories(${target} PRIVATE ${dir})
  target_include_directories(${target} SYSTEM PRIVATE ${ZAV_DASHBOARD_DIR}/boost ${ZAV_DASHBOARD_DIR}/include)
  target_compile_definitions(${target} PRIVATE ZAVCTL_HAS_SERVE=1)
  if(WIN32)
    target_link_libraries(${target} PRIVATE ws2_32 mswsock)
  else()
    find_package(Threads REQUIRED)
    target_link_libraries(${target} PRIVATE Threads::Threads)
  endif()
endfunction()
