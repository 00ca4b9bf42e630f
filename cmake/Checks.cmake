# SPDX-License-Identifier: MIT
# Whether a check may skip. A check whose pieces are missing (umockdev, QEMU,
# a guest image, a cross build, the Windows stack) exits 77 and says which
# piece; CTest reports that as skipped, except where the checks are
# required (CI), where it is a failure like any other.
option(CAMERA_PROBE_REQUIRE_CHECKS
  "Fail, rather than skip, a check whose pieces are missing" OFF)

# Lets test `test_name` report itself skipped with exit status 77.
function(camera_probe_may_skip test_name)
  if(NOT CAMERA_PROBE_REQUIRE_CHECKS)
    set_tests_properties(${test_name} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()

# A test that stands for a label none of whose tests can be built here:
# it exits 77 with the reason.
function(camera_probe_missing_piece_test name label reason)
  add_test(NAME ${name} COMMAND sh -c "echo '${label} tests cannot run: ${reason}'; exit 77")
  set_tests_properties(${name} PROPERTIES LABELS ${label})
  camera_probe_may_skip(${name})
endfunction()
