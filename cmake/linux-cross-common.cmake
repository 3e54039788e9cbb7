# Shared by the ARM Linux toolchain files: Debian's cross compilers for
# ZAV_LINUX_TRIPLET, the target's libraries from /usr/${ZAV_LINUX_TRIPLET}, and
# qemu user emulation to run target programs on the build machine (test
# discovery, ctest). qemu needs -L to find the target's dynamic loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZAV_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZAV_LINUX_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ZAV_LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${ZAV_QEMU_CPU}-static -L /usr/${ZAV_LINUX_TRIPLET})
