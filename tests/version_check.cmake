# SPDX-License-Identifier: MIT
# Fails unless every packaging file whose path starts with FILES carries
# VERSION (project()'s): debian/changelog's newest entry (less its Debian
# revision), the RPM build file's Version and newest %changelog entry, the
# PKGBUILD's pkgver, the FreeBSD port's DISTVERSION, the Homebrew tarball's.
#   cmake -DVERSION=1.2.3 -DSOURCE_DIR=. -DFILES=packaging/ -P version_check.cmake

set(mismatches "")
foreach(entry
    "debian/changelog|^camera-probe \\(([^)]+)\\)|newest entry"
    "packaging/rpm/camera-probe.spec|^Version:[ \t]+([^ \t]+)$|Version tag"
    "packaging/rpm/camera-probe.spec|^\\* .* - ([^-]+)-[^-]+$|%changelog entry"
    "packaging/arch/PKGBUILD|^pkgver=([^ \t]+)$|pkgver"
    "packaging/freebsd/Makefile|^DISTVERSION=[ \t]+([^ \t]+)$|DISTVERSION"
    "packaging/homebrew/camera-probe.rb|^  url \"[^\"]*/camera-probe-([0-9.]+)\\.tar\\.gz\"|url")
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 file)
  list(GET fields 1 regex)
  list(GET fields 2 what)
  string(FIND "${file}" "${FILES}" at)
  if(NOT at EQUAL 0)
    continue()
  endif()
  # The first line that matches, its group.
  file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "${regex}")
  list(POP_FRONT lines line)
  if(NOT line MATCHES "${regex}")
    message(FATAL_ERROR "${file}: no ${what}")
  endif()
  set(found "${CMAKE_MATCH_1}")
  if(file STREQUAL "debian/changelog")
    string(REGEX REPLACE "-[^-]*$" "" found "${found}") # the Debian revision
  endif()
  if(NOT found STREQUAL VERSION)
    string(APPEND mismatches "\n  ${file}: ${what} says ${found}")
  endif()
endforeach()
if(mismatches)
  message(FATAL_ERROR "CMakeLists.txt's project() says ${VERSION}; give these the same "
    "version:${mismatches}")
endif()
message(STATUS "version ${VERSION} in CMakeLists.txt and ${FILES}")
