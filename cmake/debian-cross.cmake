# SPDX-License-Identifier: MIT
# Cross-compiling for one of Debian's architectures with Debian's own cross
# toolchain (crossbuild-essential-arm64, crossbuild-essential-armhf). The
# toolchain file of each architecture sets DEBIAN_CROSS_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR, then includes this file.
#
# CAMERA_PROBE_SYSROOT names a folder holding that architecture's libusb-dev
# and libusb-0.1-4 unpacked from Debian's packages (scripts/arm-sysroot
# makes one); the cross toolchain's own C library serves beside it. Without
# it the library is looked for where Debian's multiarch installs it
# (libusb-dev:arm64 installed on this machine).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DEBIAN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DEBIAN_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${DEBIAN_CROSS_TRIPLET})

# The compiler checks run in projects of their own, which see only the
# variables named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CAMERA_PROBE_SYSROOT)
if(CAMERA_PROBE_SYSROOT)
  set(CMAKE_SYSROOT ${CAMERA_PROBE_SYSROOT})
  # libusb-dev's libusb.so is a linker script naming the library by an
  # absolute path (/lib/TRIPLET/libusb-0.1.so.4.4.4): the linker finds it
  # only through --sysroot.
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CAMERA_PROBE_SYSROOT})
endif()
# pkg-config reads this architecture's .pc files alone, never the host's.
set(ENV{PKG_CONFIG_LIBDIR}
    "${CAMERA_PROBE_SYSROOT}/usr/lib/${DEBIAN_CROSS_TRIPLET}/pkgconfig:${CAMERA_PROBE_SYSROOT}/usr/share/pkgconfig")

# Libraries and headers of the target; programs (pkg-config aside) of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
