# SPDX-License-Identifier: MIT
# Finds libusb-win32, the libusb 0.1 API on Windows: the header lusb0_usb.h
# and the import library of libusb0.dll. Sets LIBUSB0_INCLUDE_DIR and
# LIBUSB0_LIBRARY.
#
# Point it at the SDK with -DLIBUSB_WIN32_DIR=<folder> or CMAKE_PREFIX_PATH.
# That folder holds include/lusb0_usb.h and either lib/libusb0.dll.a (a
# MinGW import library) or the layout of libusb-win32's binary distribution:
# lib/gcc/libusb.a (32-bit MinGW), lib/msvc/libusb.lib (32-bit MSVC),
# lib/msvc_x64/libusb.lib (64-bit MSVC and MinGW-w64).
set(LIBUSB_WIN32_DIR "" CACHE PATH
  "libusb-win32 SDK folder (include/lusb0_usb.h and its import library)")

set(_libusb_win32_lib_suffixes lib)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND _libusb_win32_lib_suffixes lib/msvc_x64)
elseif(MSVC)
  list(APPEND _libusb_win32_lib_suffixes lib/msvc)
else()
  list(APPEND _libusb_win32_lib_suffixes lib/gcc)
endif()
set(_libusb_win32_names usb0 libusb0 libusb)

# First the folders named by the user, as they are: a cross-compiling
# toolchain file would otherwise re-root them under its own sysroot.
set(_libusb_win32_folders ${LIBUSB_WIN32_DIR} ${CMAKE_PREFIX_PATH})
if(_libusb_win32_folders)
  find_path(LIBUSB0_INCLUDE_DIR lusb0_usb.h
    PATHS ${_libusb_win32_folders} PATH_SUFFIXES include
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(LIBUSB0_LIBRARY NAMES ${_libusb_win32_names}
    PATHS ${_libusb_win32_folders} PATH_SUFFIXES ${_libusb_win32_lib_suffixes}
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
# Then the usual places: the toolchain's sysroot, MSYS2's prefix, and so on.
find_path(LIBUSB0_INCLUDE_DIR lusb0_usb.h)
find_library(LIBUSB0_LIBRARY NAMES ${_libusb_win32_names}
  PATH_SUFFIXES ${_libusb_win32_lib_suffixes})

if(NOT LIBUSB0_INCLUDE_DIR OR NOT LIBUSB0_LIBRARY)
  message(FATAL_ERROR
    "libusb-win32 not found (header: ${LIBUSB0_INCLUDE_DIR}, import library: "
    "${LIBUSB0_LIBRARY}). Install its binary distribution and pass "
    "-DLIBUSB_WIN32_DIR=<its folder>, or name the folder in CMAKE_PREFIX_PATH.")
endif()
message(STATUS "libusb-win32: ${LIBUSB0_INCLUDE_DIR}/lusb0_usb.h, ${LIBUSB0_LIBRARY}")
