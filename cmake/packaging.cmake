# cpack in a Linux build folder makes three Debian packages for the target's
# architecture (amd64 natively; arm64, armhf ... from a cross build):
#   libzavlib1     the runtime library (component runtime)
#   libzavlib-dev  header, link symlink, CMake and pkg-config files (dev)
#   zavlib-tools   zavctl and zavsim (tools)
# The Windows zip combines two builds and is made by scripts/windows-zip.sh.
if(WIN32)
  return()
endif()

set(ZAV_PACKAGE_CONTACT "the zavlib developers <zavlib@localhost>"
    CACHE STRING "Maintainer named in the Debian packages")

# The Debian architecture of the target, from the compiler's own triplet (not
# from the machine that builds).
if(CMAKE_C_COMPILER_TARGET)
  set(ZAV_TARGET_TRIPLET ${CMAKE_C_COMPILER_TARGET})
else()
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine OUTPUT_VARIABLE ZAV_TARGET_TRIPLET
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
execute_process(COMMAND dpkg-architecture -t ${ZAV_TARGET_TRIPLET} -q DEB_HOST_ARCH
                OUTPUT_VARIABLE ZAV_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  set(ZAV_DEB_ARCH "")
  message(STATUS "No Debian architecture known for '${ZAV_TARGET_TRIPLET}' (dpkg-architecture, "
                 "Debian: dpkg-dev): set CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
endif()

set(CPACK_PACKAGE_NAME zavlib)
set(CPACK_PACKAGE_VENDOR "the zavlib developers")
set(CPACK_PACKAGE_CONTACT ${ZAV_PACKAGE_CONTACT})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET zavctl OR TARGET zavsim)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # NAME_VERSION_ARCH.deb
if(ZAV_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZAV_DEB_ARCH})
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzavlib${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzavlib-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zavlib-tools)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
# The first line of each description is the package's summary.
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "drive serial-bus servo motors (shared library)\n"
    "zavlib drives up to 32 serial-bus servo motors on one serial line through a\n"
    "plain C interface. This package holds the shared library.")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
    "drive serial-bus servo motors (development files)\n"
    "The C header, the link symlink, the CMake package (find_package(zavlib 1))\n"
    "and the pkg-config file (zavlib) for building programs with zavlib.")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
    "drive serial-bus servo motors (command-line tool and virtual bus)\n"
    "zavctl scans, reads, writes and moves servos from the command line; zavsim\n"
    "is a virtual servo bus on a pseudo-terminal for trying without hardware.")
# libzavlib-dev and zavlib-tools depend on the libzavlib1 of the same version.
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # a shlibs file for packages built against it
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers) # ldconfig
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/system-run-path.cmake) # no run path in the packages

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the build machine's libraries. What Debian 12's
  # cross toolchains link against (readelf -V of the arm64 and armhf builds):
  # GLIBC_2.34, GLIBCXX_3.4.30 (zavctl; the libstdc++ of gcc 12) and libgcc_s; on
  # 32-bit ARM the library itself needs libgcc_s too, for the EABI division
  # helpers (GCC_3.5).
  if(ZAV_DEB_ARCH MATCHES "^arm(hf|el)$")
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5)")
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 12)")
  else()
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34)")
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  endif()
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The tools' libzavlib.so.1 is this build's; the component dependency names its package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
endif()

# Debian wants the licence in every package's documentation folder; a README
# there says what the package is for and where to start.
set(ZAV_MAJOR ${PROJECT_VERSION_MAJOR})
set(ZAV_VERSION ${PROJECT_VERSION})
foreach(component runtime dev tools)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/README.${component} ${CMAKE_BINARY_DIR}/package-docs/README.${component} @ONLY)
endforeach()
# The changes, compressed as Debian keeps an upstream changelog.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md)
file(COPY_FILE ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CMAKE_BINARY_DIR}/package-docs/changelog ONLY_IF_DIFFERENT)
file(ARCHIVE_CREATE OUTPUT ${CMAKE_BINARY_DIR}/package-docs/changelog.gz PATHS ${CMAKE_BINARY_DIR}/package-docs/changelog
     FORMAT raw COMPRESSION GZip MTIME 0)
foreach(component RUNTIME DEV TOOLS)
  string(TOLOWER ${component} name)
  if(name IN_LIST CPACK_COMPONENTS_ALL)
    install(FILES ${CMAKE_BINARY_DIR}/package-docs/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${component}_PACKAGE_NAME} COMPONENT ${name})
  endif()
endforeach()
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}
        RENAME copyright COMPONENT runtime)
install(FILES ${CMAKE_BINARY_DIR}/package-docs/README.runtime DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}
        RENAME README COMPONENT runtime)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEV_PACKAGE_NAME}
        RENAME copyright COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/package-docs/README.dev DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEV_PACKAGE_NAME}
        RENAME README COMPONENT dev)
if(tools IN_LIST CPACK_COMPONENTS_ALL)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_TOOLS_PACKAGE_NAME}
          RENAME copyright COMPONENT tools)
  install(FILES ${CMAKE_BINARY_DIR}/package-docs/README.tools DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_TOOLS_PACKAGE_NAME}
          RENAME README COMPONENT tools)
  # Manual pages made from the programs' own --help and --version by help2man
  # (Debian: help2man), run under the cross build's emulator where there is one.
  find_program(ZAV_HELP2MAN help2man)
  if(ZAV_HELP2MAN)
    set(man_pages "")
    foreach(tool zavctl zavsim)
      if(NOT TARGET ${tool})
        continue()
      endif()
      if(tool STREQUAL zavctl)
        set(summary "drive serial-bus servos from the command line")
      else()
        set(summary "a virtual serial-bus servo bus on a pseudo-terminal")
      endif()
      set(runner ${CMAKE_BINARY_DIR}/man/${tool})
      string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
      file(GENERATE OUTPUT ${runner} CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${tool}> \"$@\"\n"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${tool}.1.gz
        COMMAND ${ZAV_HELP2MAN} --no-info --section 1 --name ${summary} --output ${CMAKE_BINARY_DIR}/man/${tool}.1 ${runner}
        COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${tool}.1
        DEPENDS ${tool} VERBATIM)
      list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${tool}.1.gz)
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  else()
    message(STATUS "help2man not found (Debian: help2man): the tools package has no manual pages")
  endif()
  # zavctl serve has third-party code built in: their notices travel with it.
  if(ZAV_DASHBOARD_READY)
    install(FILES ${ZAV_DASHBOARD_DIR}/licenses.txt DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_TOOLS_PACKAGE_NAME}
            RENAME third-party-licenses COMPONENT tools)
  endif()
endif()

include(CPack)
