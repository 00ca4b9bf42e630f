# SPDX-License-Identifier: MIT
# libusb-compat-0.1, the libusb 0.1 API over libusb-1.0 that Fedora, Arch,
# openSUSE and macOS ship, built from its unchanged sources for the tests
# only (never installed nor linked into camera-probe), which pick it through
# LD_LIBRARY_PATH, so that the same camera-probe runs on either library.

set(CAMERA_PROBE_LIBUSB_COMPAT_SOURCE_DIR "${PROJECT_SOURCE_DIR}/../shared/sdk/libusb-compat-0.1"
  CACHE PATH "libusb-compat-0.1 sources (libusb/core.c), for the compat tests")
set(_compat_sources "${CAMERA_PROBE_LIBUSB_COMPAT_SOURCE_DIR}/libusb")
if(NOT EXISTS "${_compat_sources}/core.c")
  message(STATUS "libusb-compat-0.1 sources not found: compat tests skip")
  camera_probe_missing_piece_test(compat_needs_libusb_compat_sources compat
    "no libusb-compat-0.1 sources in CAMERA_PROBE_LIBUSB_COMPAT_SOURCE_DIR=${CAMERA_PROBE_LIBUSB_COMPAT_SOURCE_DIR}")
  return()
endif()
message(STATUS "libusb-compat-0.1 from ${CAMERA_PROBE_LIBUSB_COMPAT_SOURCE_DIR}")

# What its configure script would define: exported API, logging when a
# program turns debugging on, and libusb-1.0 linked rather than opened with
# dlopen, so that the QEMU guest, which stages what the loader resolves,
# gets it too.
pkg_check_modules(LIBUSB1 REQUIRED IMPORTED_TARGET libusb-1.0)
file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/libusb-compat-include/config.h" CONTENT
  "#define API_EXPORTED __attribute__((visibility(\"default\")))\n#define ENABLE_LOGGING 1\n")

add_library(libusb_compat SHARED "${_compat_sources}/core.c")
target_include_directories(libusb_compat PRIVATE
  "${CMAKE_CURRENT_BINARY_DIR}/libusb-compat-include" "${_compat_sources}")
target_link_libraries(libusb_compat PRIVATE PkgConfig::LIBUSB1)
# Its own flags; its sources are not ours to change, so libusb-1.0's
# deprecation notices for the calls it makes are not shown.
target_compile_options(libusb_compat PRIVATE -std=gnu99 -fgnu89-inline -Wno-deprecated-declarations)
# libusb-0.1.so.4, the name camera-probe's DT_NEEDED asks for, alone in its
# folder so that LD_LIBRARY_PATH can name that folder.
set_target_properties(libusb_compat PROPERTIES OUTPUT_NAME usb-0.1 SOVERSION 4
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/libusb-compat")
set(CAMERA_PROBE_LIBUSB_COMPAT_DIR "${CMAKE_BINARY_DIR}/libusb-compat")

# The umockdev scenarios again, over libusb-compat: this build of the suite
# starts every program with LIBUSB_COMPAT_DIR first in LD_LIBRARY_PATH.
if(NOT CAMERA_PROBE_HAVE_UMOCKDEV)
  camera_probe_missing_piece_test(compat_needs_umockdev compat "umockdev is not installed")
  return()
endif()
camera_probe_usbfs_suite(camera_probe_compat_tests compat DISCOVERY TEST_PREFIX compat.
  DEFINES LIBUSB_COMPAT_DIR="${CAMERA_PROBE_LIBUSB_COMPAT_DIR}")
add_dependencies(camera_probe_compat_tests libusb_compat)
