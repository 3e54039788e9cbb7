# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once it has installed what the Debian
# packages hold: their programs find libzavlib on the system's library path,
# as Debian wants, not through the run path relative to the program that an
# install into any other prefix gives them (cmake/install.cmake).
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(program IN LISTS files)
  if(program MATCHES "/bin/[^/]+$" AND NOT IS_SYMLINK "${program}")
    file(RPATH_REMOVE FILE "${program}")
  endif()
endforeach()
