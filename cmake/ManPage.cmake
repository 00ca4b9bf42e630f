# SPDX-License-Identifier: MIT
# The man page, build/camera-probe.1, from man/camera-probe.1.in with the
# version of project() and the folder the docs are installed in. The
# template's blocks on device access (FILES, the head of NOTES) and its SEE
# ALSO are Linux's; on another system each is replaced by the block of the
# same name in that system's man/<system>.1.in.

# The text from the line `.\" begin NAME` to the line `.\" end NAME`, both kept.
function(camera_probe_man_block text name file out_var)
  set(begin ".\\\" begin ${name}\n")
  set(end ".\\\" end ${name}\n")
  string(FIND "${text}" "${begin}" from)
  string(FIND "${text}" "${end}" to)
  if(from EQUAL -1 OR to LESS from)
    message(FATAL_ERROR "${file}: no block '${name}' (from `${begin}` to `${end}`)")
  endif()
  string(LENGTH "${end}" end_length)
  math(EXPR length "${to} + ${end_length} - ${from}")
  string(SUBSTRING "${text}" ${from} ${length} block)
  set(${out_var} "${block}" PARENT_SCOPE)
endfunction()

set(_man_template ${PROJECT_SOURCE_DIR}/man/camera-probe.1.in)
file(READ ${_man_template} _man_page)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_man_template})
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  if(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
    set(_man_system freebsd)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
    set(_man_system macos)
  else()
    set(_man_system other)
  endif()
  set(_man_system_file ${PROJECT_SOURCE_DIR}/man/${_man_system}.1.in)
  file(READ ${_man_system_file} _man_system_text)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_man_system_file})
  foreach(_man_block_name access see-also)
    camera_probe_man_block("${_man_page}" ${_man_block_name} ${_man_template} _linux_block)
    camera_probe_man_block("${_man_system_text}" ${_man_block_name} ${_man_system_file}
      _system_block)
    string(REPLACE "${_linux_block}" "${_system_block}" _man_page "${_man_page}")
  endforeach()
endif()

# A path in roff text, its hyphens written as hyphens.
string(REPLACE "-" "\\-" CAMERA_PROBE_MAN_DOCDIR "${CMAKE_INSTALL_FULL_DOCDIR}")
string(CONFIGURE "${_man_page}" _man_page @ONLY)
# Written only when it changes, so that a configure rebuilds nothing.
file(WRITE ${CMAKE_BINARY_DIR}/camera-probe.1.new "${_man_page}")
configure_file(${CMAKE_BINARY_DIR}/camera-probe.1.new ${CMAKE_BINARY_DIR}/camera-probe.1 COPYONLY)
