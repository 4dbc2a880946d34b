# Cross build for 32-bit big-endian PowerPC (powerpc-linux-gnu), with Debian's
# cross toolchain: the byte-swapping paths of the codecs run only on such a host.
# ctest runs the test executables under qemu-ppc, with the target's C and C++
# libraries taken from the toolchain's sysroot, exactly as it runs native ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

set(PSS_TARGET_SYSROOT /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${PSS_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
include(${CMAKE_CURRENT_LIST_DIR}/host-header-only.cmake)

# add_test and gtest_discover_tests run target executables through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-L;${PSS_TARGET_SYSROOT})
