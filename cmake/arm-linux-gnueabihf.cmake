# SPDX-License-Identifier: MIT
# Cross-compiling for Debian armhf (32-bit ARMv7 with the hard-float ABI)
# with g++-arm-linux-gnueabihf. Debian's armhf targets ARMv7 and later: the
# programs do not run on ARMv6 boards (the first Raspberry Pi, the Zero).
# Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#            -DCAMERA_PROBE_SYSROOT=build-armhf/sysroot
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DEBIAN_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
