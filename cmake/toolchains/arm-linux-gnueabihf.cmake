# Cross build for the target, 32-bit little-endian ARM with hard float
# (arm-linux-gnueabihf), with Debian's cross toolchain.
# ctest runs the test executables under qemu-arm, with the target's C and C++
# libraries taken from the toolchain's sysroot, exactly as it runs native ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(PSS_TARGET_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${PSS_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
include(${CMAKE_CURRENT_LIST_DIR}/host-header-only.cmake)

# add_test and gtest_discover_tests run target executables through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${PSS_TARGET_SYSROOT})
