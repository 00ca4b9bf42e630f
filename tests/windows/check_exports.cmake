# SPDX-License-Identifier: MIT
# Checks that the libusb0.dll double exports by name exactly what
# lusb0_usb.h declares, as the real DLL does, so that either loads for the other.
#   cmake -DOBJDUMP=<objdump> -DDLL=<libusb0.dll> -DHEADER=<lusb0_usb.h> -P check_exports.cmake
cmake_minimum_required(VERSION 3.16)

file(STRINGS ${HEADER} header_lines)
set(declared "")
foreach(line IN LISTS header_lines)
  # Prototypes, not macros such as "#define usb_busses usb_get_busses()".
  if(NOT line MATCHES "^[ \t]*#" AND line MATCHES "(usb_[A-Za-z0-9_]+)[ \t]*\\(")
    list(APPEND declared ${CMAKE_MATCH_1})
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REPLACE "\n" ";" dump_lines "${dump}")
set(exported "")
set(in_name_table FALSE)
foreach(line IN LISTS dump_lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_name_table TRUE)
  elseif(in_name_table AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] ([A-Za-z0-9_@]+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  elseif(in_name_table)
    set(in_name_table FALSE)
  endif()
endforeach()

list(LENGTH declared declared_count)
if(declared_count LESS 40)
  message(FATAL_ERROR "found only ${declared_count} functions in ${HEADER}")
endif()
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
if(missing OR extra)
  message(FATAL_ERROR "libusb0.dll exports differ from ${HEADER}\n"
    "  not exported: ${missing}\n  exported, not declared: ${extra}")
endif()
message(STATUS "libusb0.dll double exports the ${declared_count} functions of lusb0_usb.h")
