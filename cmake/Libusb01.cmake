# SPDX-License-Identifier: MIT
# The libusb 0.1 API through pkg-config, on every system but Windows. Two
# module names carry it: "libusb" (libusb 0.1.12 on Debian and Ubuntu,
# libusb-compat-0.1 on Fedora, openSUSE, Arch and Homebrew) and "libusb-0.1"
# (FreeBSD's base system, whose libusb implements the 0.1 API itself). The
# first one pkg-config knows is taken. Defines PkgConfig::LIBUSB and
# LIBUSB_INCLUDE_DIRS; with neither module it stops and says what to install.

set(_libusb01_install_hint
  "Install the libusb 0.1 development files and pkg-config:\n"
  "  Debian, Ubuntu:  sudo apt-get install libusb-dev pkg-config\n"
  "  Fedora:          sudo dnf install libusb-compat-0.1-devel pkgconf-pkg-config\n"
  "  openSUSE:        sudo zypper install libusb-compat-devel pkg-config\n"
  "  Arch Linux:      sudo pacman -S libusb-compat pkgconf\n"
  "  FreeBSD:         pkg install pkgconf (libusb itself is in the base system)\n"
  "  macOS:           brew install libusb-compat pkgconf\n"
  "or point PKG_CONFIG_PATH at the folder that holds libusb.pc or libusb-0.1.pc.")

find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  message(FATAL_ERROR "pkg-config not found: it is how the build finds libusb 0.1.\n"
    ${_libusb01_install_hint})
endif()
pkg_search_module(LIBUSB QUIET IMPORTED_TARGET libusb libusb-0.1)
if(NOT LIBUSB_FOUND)
  message(FATAL_ERROR "libusb 0.1 not found: pkg-config (${PKG_CONFIG_EXECUTABLE}) knows "
    "neither the module libusb nor libusb-0.1.\n" ${_libusb01_install_hint})
endif()
message(STATUS "libusb 0.1 API: pkg-config module ${LIBUSB_MODULE_NAME} ${LIBUSB_VERSION} "
  "(${LIBUSB_LINK_LIBRARIES})")
