# SPDX-License-Identifier: MIT
# Fails unless debian/changelog's newest entry is VERSION (project()'s).
#   cmake -DVERSION=1.2.3 -DCHANGELOG=debian/changelog -P version_check.cmake
file(STRINGS "${CHANGELOG}" first_line LIMIT_COUNT 1)
if(NOT first_line MATCHES "^camera-probe \\(([^)]+)\\)")
  message(FATAL_ERROR "${CHANGELOG}: no version in its first line: ${first_line}")
endif()
# A Debian revision (-1) is the package's own, not the program's.
string(REGEX REPLACE "-[^-]*$" "" changelog_version "${CMAKE_MATCH_1}")
if(NOT changelog_version STREQUAL VERSION)
  message(FATAL_ERROR "${CHANGELOG} says ${changelog_version}, CMakeLists.txt's project() says "
    "${VERSION}: give them the same version")
endif()
message(STATUS "version ${VERSION} in CMakeLists.txt and ${CHANGELOG}")
