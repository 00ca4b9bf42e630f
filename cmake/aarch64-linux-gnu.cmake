# SPDX-License-Identifier: MIT
# Cross-compiling for Debian arm64 (64-bit ARMv8) with g++-aarch64-linux-gnu.
# Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#            -DCAMERA_PROBE_SYSROOT=build-arm64/sysroot
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DEBIAN_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
