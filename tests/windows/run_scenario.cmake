# SPDX-License-Identifier: MIT
# Runs camera-probe.exe against the libusb0.dll double in one scenario of
# scenarios.cmake; passes when its standard output matches byte for byte,
# its exit status matches, and nothing was written to standard error.
#   cmake -DSCENARIO=<name> -DPROGRAM=<camera-probe.exe> -DDOUBLE_DIR=<folder of
#         libusb0.dll> [-DEMULATOR=<program>,<argument>...] -P run_scenario.cmake
# EMULATOR runs the program (Wine, through wine-run); without it, it runs
# directly, on Windows.
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/scenarios.cmake)
if(NOT DEFINED ${SCENARIO}_SETUP)
  message(FATAL_ERROR "no scenario named '${SCENARIO}' in scenarios.cmake")
endif()

set(ENV{LIBUSB0_DOUBLE_SCENARIO} "${${SCENARIO}_SETUP}")
set(expected_status ${${SCENARIO}_STATUS})
if(EMULATOR)
  string(REPLACE "," ";" emulator "${EMULATOR}")
  # Wine finds DLLs on WINEPATH, in Windows form; Z: is the Linux root.
  set(ENV{WINEPATH} "Z:${DOUBLE_DIR}")
  # A Linux parent sees the low 8 bits of the status: -1 is 255.
  math(EXPR expected_status "${expected_status} & 255")
  set(accepted_statuses ${expected_status})
else()
  set(emulator "")
  set(ENV{PATH} "${DOUBLE_DIR};$ENV{PATH}")
  # Windows' 32-bit status, signed or not.
  math(EXPR unsigned_status "${expected_status} & 0xFFFFFFFF")
  set(accepted_statuses ${expected_status} ${unsigned_status})
endif()

set(stdout_file ${CMAKE_CURRENT_BINARY_DIR}/${SCENARIO}.stdout)
set(stderr_file ${CMAKE_CURRENT_BINARY_DIR}/${SCENARIO}.stderr)
set(expected_file ${CMAKE_CURRENT_BINARY_DIR}/${SCENARIO}.expected)
execute_process(COMMAND ${emulator} ${PROGRAM}
  OUTPUT_FILE ${stdout_file} ERROR_FILE ${stderr_file}
  RESULT_VARIABLE status TIMEOUT 120)
file(WRITE ${expected_file} "${${SCENARIO}_STDOUT}")

# The file's bytes as text, with CR and LF shown as \r and \n so that a
# missing CR is visible. Read as hex: file(READ) as text drops CRs.
function(printable file out_var)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" digits)
  set(text "")
  set(at 0)
  while(at LESS digits)
    string(SUBSTRING "${hex}" ${at} 2 byte)
    if(byte STREQUAL "0d")
      string(APPEND text "\\r")
    elseif(byte STREQUAL "0a")
      string(APPEND text "\\n")
    else()
      math(EXPR code "0x${byte}")
      string(ASCII ${code} character)
      string(APPEND text "${character}")
    endif()
    math(EXPR at "${at} + 2")
  endwhile()
  set(${out_var} "\"${text}\"" PARENT_SCOPE)
endfunction()

set(failures "")
file(READ ${stdout_file} actual_hex HEX)
file(READ ${expected_file} expected_hex HEX)
if(NOT actual_hex STREQUAL expected_hex)
  printable(${stdout_file} actual_text)
  printable(${expected_file} expected_text)
  string(APPEND failures "standard output differs\n"
    "  expected: ${expected_text}\n    actual: ${actual_text}\n")
endif()
if(NOT status IN_LIST accepted_statuses)
  string(APPEND failures "exit status ${status}, expected ${expected_status}\n")
endif()
file(READ ${stderr_file} stderr_text)
if(NOT stderr_text STREQUAL "")
  string(APPEND failures "standard error is not empty:\n${stderr_text}\n")
endif()

if(failures)
  message(FATAL_ERROR "scenario ${SCENARIO}:\n${failures}")
endif()
string(LENGTH "${actual_hex}" hex_digits)
math(EXPR bytes "${hex_digits} / 2")
message(STATUS "scenario ${SCENARIO}: ${bytes} bytes of standard output as expected, "
  "exit status ${status}")
