// SPDX-License-Identifier: MIT
// The arm64 guest the arm vm suites boot, and each cross build's
// camera-probe staged into it for that build's registry column.
#ifndef CAMERA_PROBE_TESTS_ARM_ARM_GUEST_H
#define CAMERA_PROBE_TESTS_ARM_ARM_GUEST_H

#include <string>
#include <vector>

#include "guest_suite.h"

namespace arm_tests {

inline const char kArmGuestArch[] = "arm64";

// Each build's camera-probe for its column: `arm64`'s or `armhf`'s, the
// runs' names ending with `separator` and the build's architecture.
std::vector<e2e::SuiteStack> arm_probe_stacks(registry::Stack arm64, registry::Stack armhf,
                                              const std::string &separator);

// What of the builds or the arm64 guest is missing to run a suite, or empty.
std::string missing_from_arm_guest();

}  // namespace arm_tests

#endif
