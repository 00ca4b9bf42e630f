// SPDX-License-Identifier: MIT
#include "arm_guest.h"

#include "arm_builds.h"

namespace arm_tests {

std::vector<e2e::SuiteStack> arm_probe_stacks(registry::Stack arm64, registry::Stack armhf,
                                              const std::string &separator) {
    std::vector<e2e::SuiteStack> stacks;
    for (const ArmBuild &build : arm_builds()) {
        std::string probe = build.camera_probe();
        stacks.push_back({build.arch == "armhf" ? armhf : arm64, separator + build.arch,
                          [probe](e2e::GuestVm &vm) { return vm.add_command({probe}); }});
    }
    return stacks;
}

std::string missing_from_arm_guest() {
    for (const ArmBuild &build : arm_builds()) {
        if (std::string missing = build.missing_probe(); !missing.empty()) {
            return missing;
        }
    }
    return usb_emulator::GuestSettings::from_build(kArmGuestArch).missing();
}

}  // namespace arm_tests
