# cmake --install BUILD --prefix P lays out, in three components:
#   runtime  the shared library (Linux: lib/libzavlib.so.1; Windows: bin/zavlib_x64.dll)
#   dev      include/zavlib.h, the link files (Linux: lib/libzavlib.so; Windows: the
#            .dll.a for MinGW, the .lib for Visual Studio and the .def), lib/cmake/zavlib/
#            (find_package(zavlib 1 CONFIG) gives zavlib::zavlib) and lib/pkgconfig/zavlib.pc
#   tools    zavctl and zavsim in bin/, which find lib/ relative to themselves
# Both the CMake files and the .pc file find the prefix from where they lie, so an
# installed tree can be moved (or unpacked from a package) anywhere.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  set(ZAV_LIBRARY_TARGET ${ZAV_DLL})
else()
  set(ZAV_LIBRARY_TARGET zavlib)
endif()
set_target_properties(${ZAV_LIBRARY_TARGET} PROPERTIES EXPORT_NAME zavlib)

install(TARGETS ${ZAV_LIBRARY_TARGET} EXPORT zavlibTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES include/zavlib.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/${ZAV_DLL}.lib src/${ZAV_DLL}.def
          DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
endif()

set(ZAV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zavlib)
install(EXPORT zavlibTargets NAMESPACE zavlib:: DESTINATION ${ZAV_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/zavlibConfig.cmake.in ${CMAKE_BINARY_DIR}/zavlibConfig.cmake
                              INSTALL_DESTINATION ${ZAV_CMAKE_DIR})
# 1.x callers take any 1.y; the file also refuses a build of the other pointer size.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zavlibConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zavlibConfig.cmake ${CMAKE_BINARY_DIR}/zavlibConfigVersion.cmake
        DESTINATION ${ZAV_CMAKE_DIR} COMPONENT dev)

# pkg-config: the prefix is relative to the .pc file itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZAV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ZAV_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(ZAV_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH ZAV_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" ZAV_PC_UP "${ZAV_PC_UP}")
  set(ZAV_PC_PREFIX "\${pcfiledir}/${ZAV_PC_UP}")
  set(ZAV_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(ZAV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(WIN32)
  set(ZAV_PC_LINK_NAME ${ZAV_DLL}) # -lzavlib_x64 finds zavlib_x64.dll.a
else()
  set(ZAV_PC_LINK_NAME zavlib)
endif()
configure_file(cmake/zavlib.pc.in ${CMAKE_BINARY_DIR}/zavlib.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zavlib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The installed programs find the installed library wherever the tree lies, by a
# run path relative to themselves (bin/../lib). The Debian packages drop it and
# use the system's path (cmake/debian/system-run-path.cmake).
set(ZAV_TOOLS_RUN_PATH "")
if(NOT WIN32 AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH ZAV_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set(ZAV_TOOLS_RUN_PATH "$ORIGIN/${ZAV_BIN_TO_LIB}")
endif()
foreach(tool zavctl zavsim)
  if(TARGET ${tool})
    if(ZAV_TOOLS_RUN_PATH)
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "${ZAV_TOOLS_RUN_PATH}")
    endif()
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
