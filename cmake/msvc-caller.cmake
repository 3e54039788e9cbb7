# tests/msvc: a caller built the way a Visual Studio project builds one (clang
# in MSVC mode, lld-link against the .lib import library), with a default x86
# link (/SAFESEH on). The 64-bit one runs under wine64 (scripts/wine-tests.sh);
# the 32-bit one can only be linked here.
find_program(ZAV_CLANG NAMES clang clang-14)
find_program(ZAV_LLD_LINK NAMES lld-link lld-link-14)
if(NOT ZAV_CLANG OR NOT ZAV_LLD_LINK)
  message(STATUS "clang or lld-link not found (Debian: clang, lld): msvc_caller.exe is not built")
  return()
endif()

file(READ tests/msvc/kernel32.def ZAV_KERNEL32_DEF)
if(ZAV_DLL STREQUAL zavlib_x64)
  set(ZAV_MSVC_TARGET x86_64-pc-windows-msvc)
  string(REGEX REPLACE "@[0-9]+" "" ZAV_KERNEL32_DEF "${ZAV_KERNEL32_DEF}") # no decoration on x64
  set(ZAV_KILL_AT "")
else()
  set(ZAV_MSVC_TARGET i686-pc-windows-msvc)
  set(ZAV_KILL_AT -k) # _GetStdHandle@4 imports the name GetStdHandle
endif()
file(WRITE ${CMAKE_BINARY_DIR}/msvc/kernel32.def "${ZAV_KERNEL32_DEF}")

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/msvc_caller.exe
  COMMAND ${ZAV_CLANG} --target=${ZAV_MSVC_TARGET} -ffreestanding -O1 -Wall -Wextra -Werror
          -I${CMAKE_SOURCE_DIR}/include -c ${CMAKE_SOURCE_DIR}/tests/msvc/msvc_caller.c -o msvc/msvc_caller.obj
  COMMAND ${ZAV_LLVM_DLLTOOL} -m ${ZAV_DLLTOOL_MACHINE} ${ZAV_KILL_AT} -d msvc/kernel32.def -l msvc/kernel32.lib
  COMMAND ${ZAV_LLD_LINK} /nologo /entry:start /subsystem:console /nodefaultlib /out:msvc_caller.exe
          msvc/msvc_caller.obj ${ZAV_DLL}.lib msvc/kernel32.lib
  DEPENDS tests/msvc/msvc_caller.c include/zavlib.h ${ZAV_DLL}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_custom_target(msvc_caller ALL DEPENDS ${CMAKE_BINARY_DIR}/msvc_caller.exe)
