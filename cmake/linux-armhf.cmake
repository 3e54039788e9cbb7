# Cross build for 32-bit ARM Linux with hardware floating point (Debian armhf:
# ARMv7, so Raspberry Pi 2 and later running a 32-bit system).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZAV_LINUX_TRIPLET arm-linux-gnueabihf)
set(ZAV_QEMU_CPU arm)
# GCC notes that the passing of some arguments (iterators in the standard
# algorithms, here) changed in GCC 7.1; that matters only when linking objects
# built before it.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
