# The Python package as a wheel with this build's library inside, tagged for
# the target: python/zavlib-VERSION-py3-none-linux_x86_64.whl natively,
# linux_aarch64 or linux_armv7l from a cross build (scripts/python-wheel.sh).
# ZAV_PYTHON_WHEEL: AUTO (when Debian's python3 has setuptools and wheel), ON
# (required) or OFF. The Windows wheels are made with the Windows zip.
set(ZAV_PYTHON_WHEEL AUTO CACHE STRING "Build the Python wheel with the library inside: AUTO, ON or OFF")
set_property(CACHE ZAV_PYTHON_WHEEL PROPERTY STRINGS AUTO ON OFF)
set(ZAV_PYTHON_FOR_WHEEL /usr/bin/python3 CACHE FILEPATH "Python with setuptools and wheel that builds the wheel")

if(NOT ZAV_PYTHON_WHEEL STREQUAL "OFF")
  execute_process(COMMAND ${ZAV_PYTHON_FOR_WHEEL} -c "import setuptools.build_meta, wheel"
                  RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
  if(missing)
    if(ZAV_PYTHON_WHEEL STREQUAL "ON")
      message(FATAL_ERROR "Python wheel: ${ZAV_PYTHON_FOR_WHEEL} lacks setuptools or wheel "
                          "(Debian: python3-setuptools python3-wheel)")
    endif()
    message(STATUS "Python wheel: not built: ${ZAV_PYTHON_FOR_WHEEL} lacks setuptools or wheel "
                   "(Debian: python3-setuptools python3-wheel)")
  else()
    set(ZAV_WHEEL_PLATFORM linux_${CMAKE_SYSTEM_PROCESSOR})
    set(ZAV_WHEEL ${CMAKE_BINARY_DIR}/python/zavlib-${PROJECT_VERSION}-py3-none-${ZAV_WHEEL_PLATFORM}.whl)
    file(GLOB ZAV_PYTHON_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bindings/python/src/zavlib/*.py)
    add_custom_command(OUTPUT ${ZAV_WHEEL}
      COMMAND ${CMAKE_COMMAND} -E env PYTHON=${ZAV_PYTHON_FOR_WHEEL}
              ${CMAKE_SOURCE_DIR}/scripts/python-wheel.sh $<TARGET_SONAME_FILE:zavlib> ${ZAV_WHEEL_PLATFORM}
              ${CMAKE_BINARY_DIR}/python
      DEPENDS zavlib ${ZAV_PYTHON_SOURCES} ${CMAKE_SOURCE_DIR}/scripts/python-wheel.sh
              ${CMAKE_SOURCE_DIR}/bindings/python/setup.py ${CMAKE_SOURCE_DIR}/bindings/python/pyproject.toml
              ${CMAKE_SOURCE_DIR}/bindings/python/README.md ${CMAKE_SOURCE_DIR}/LICENSE
      COMMENT "Building the Python wheel with the library inside (${ZAV_WHEEL_PLATFORM})" VERBATIM)
    add_custom_target(python_wheel ALL DEPENDS ${ZAV_WHEEL})
  endif()
endif()
