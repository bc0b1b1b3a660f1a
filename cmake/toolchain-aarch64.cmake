# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
# Tests run under qemu-aarch64 with the toolchain's libraries as the sysroot.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVION_CROSS_TRIPLE aarch64-linux-gnu)
set(TARVION_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
