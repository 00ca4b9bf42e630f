// SPDX-License-Identifier: MIT
#include "arm_guest.h"

#include <utility>

#include "../missing_piece.h"
#include "arm_builds.h"

namespace arm_tests {

namespace {

const char kArmGuestArch[] = "arm64";

std::string missing_from_arm_guest() {
    for (const ArmBuild &build : arm_builds()) {
        if (std::string missing = build.missing_probe(); !missing.empty()) {
            return missing;
        }
    }
    return usb_emulator::GuestSettings::from_build(kArmGuestArch).missing();
}

}  // namespace

e2e::GuestSuitePlan arm_guest_plan(registry::Stack arm64, registry::Stack armhf,
                                   const std::string &separator,
                                   std::function<void(e2e::GuestVm &)> after_boot) {
    e2e::GuestSuitePlan plan;
    plan.make_guest = e2e::built_guest(kArmGuestArch);
    for (const ArmBuild &build : arm_builds()) {
        std::string probe = build.camera_probe();
        plan.stacks.push_back({build.arch == "armhf" ? armhf : arm64, separator + build.arch,
                               [probe](e2e::GuestVm &vm) { return vm.add_command({probe}); }});
    }
    plan.after_boot = std::move(after_boot);
    return plan;
}

int run_arm_guest_suite(int argc, char **argv) {
    return camera_probe_tests::run_unless_missing(argc, argv, "arm", missing_from_arm_guest());
}

}  // namespace arm_tests
