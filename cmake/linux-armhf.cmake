# Cross build for 32-bit ARM Linux with hardware floating point (Raspberry Pi OS
# 32-bit, Debian armhf).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZAV_LINUX_TRIPLET arm-linux-gnueabihf)
set(ZAV_QEMU_CPU arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
