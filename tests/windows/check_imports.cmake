# SPDX-License-Identifier: MIT
# Checks that camera-probe.exe needs no DLL but libusb0.dll and Windows' own
# (none of the compiler's), so that it runs wherever libusb-win32 is.
#   cmake -DOBJDUMP=<objdump> -DPROGRAM=<camera-probe.exe> -P check_imports.cmake
cmake_minimum_required(VERSION 3.16)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${dump}")
set(imported "")
set(foreign "")
foreach(entry IN LISTS entries)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  list(APPEND imported ${dll})
  if(NOT dll MATCHES "^(libusb0|kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
    list(APPEND foreign ${dll})
  endif()
endforeach()

if(foreign)
  message(FATAL_ERROR "camera-probe.exe needs ${foreign}, beyond libusb0.dll and Windows' own")
endif()
if(NOT "libusb0.dll" IN_LIST imported)
  message(FATAL_ERROR "camera-probe.exe does not import libusb0.dll (it imports: ${imported})")
endif()
message(STATUS "camera-probe.exe imports: ${imported}")
