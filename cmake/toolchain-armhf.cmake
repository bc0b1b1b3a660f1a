# Cross build for 32-bit ARM hard-float Linux with Debian's
# g++-arm-linux-gnueabihf. Tests run under qemu-user with the toolchain's
# libraries as the sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TARVION_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TARVION_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARVION_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVION_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${TARVION_CROSS_TRIPLE})
# GCC notes on every std::vector of records holding a double that their
# passing changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
