# Cross build for 32-bit ARM hard-float Linux with Debian's
# g++-arm-linux-gnueabihf. Tests run under qemu-arm with the toolchain's
# libraries as the sysroot.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TARVION_CROSS_TRIPLE arm-linux-gnueabihf)
set(TARVION_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
# GCC notes on every std::vector of records holding a double that their
# passing changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
