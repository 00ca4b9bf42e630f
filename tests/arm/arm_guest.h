// SPDX-License-Identifier: MIT
// The arm64 guest the arm vm suites boot, and each cross build's
// camera-probe staged into it for that build's registry column.
#ifndef CAMERA_PROBE_TESTS_ARM_ARM_GUEST_H
#define CAMERA_PROBE_TESTS_ARM_ARM_GUEST_H

#include <functional>
#include <string>

#include "guest_suite.h"

namespace arm_tests {

// An arm suite's plan: the arm64 guest, and each build's camera-probe on
// its column, `arm64`'s or `armhf`'s, the runs' names ending with
// `separator` and the build's architecture; `after_boot` as the plan's.
e2e::GuestSuitePlan arm_guest_plan(registry::Stack arm64, registry::Stack armhf,
                                   const std::string &separator,
                                   std::function<void(e2e::GuestVm &)> after_boot = {});

// An arm suite's main(): its tests, unless a build or the guest is missing.
int run_arm_guest_suite(int argc, char **argv);

}  // namespace arm_tests

#endif
