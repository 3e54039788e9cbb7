# Shared by the MinGW toolchain files: Debian's mingw-w64 for ZAV_MINGW_TRIPLET,
# posix thread flavour (the Windows test program needs std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZAV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZAV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZAV_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZAV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
