# SPDX-License-Identifier: MIT
# Fails when a test of make check's labels (unit, e2e, compat) starts a
# program of this build that check-programs, make check's build, leaves out
# (PROGRAMS lists its targets): make check would lose that test unseen.
#   cmake -DCTEST=ctest -DBUILD_DIR=build -DPROGRAMS=check-programs.txt -P check_programs.cmake
cmake_minimum_required(VERSION 3.19) # string(JSON)
execute_process(COMMAND ${CTEST} --show-only=json-v1 -L "^(unit|e2e|compat)$"
  WORKING_DIRECTORY ${BUILD_DIR} OUTPUT_VARIABLE json COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS ${PROGRAMS} programs)
string(JSON last LENGTH "${json}" tests)
math(EXPR last "${last} - 1")
foreach(index RANGE ${last})
  string(JSON program ERROR_VARIABLE no_command GET "${json}" tests ${index} command 0)
  get_filename_component(target "${program}" NAME)
  string(FIND "${program}" "${BUILD_DIR}/" in_build)
  if(in_build EQUAL 0 AND NOT target IN_LIST programs)
    string(JSON name GET "${json}" tests ${index} name)
    string(APPEND left_out "\n  ${name}: ${program}")
  endif()
endforeach()
if(left_out)
  message(FATAL_ERROR "check-programs (tests/CMakeLists.txt) does not build:${left_out}")
endif()
