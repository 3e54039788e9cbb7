# Cross build for 64-bit ARM Linux (Debian arm64; Raspberry Pi 3 and later
# running a 64-bit system).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZAV_LINUX_TRIPLET aarch64-linux-gnu)
set(ZAV_QEMU_CPU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
