// SPDX-License-Identifier: MIT
// camera-probe of arm64 and of armhf in one boot of a QEMU arm64 guest on
// Debian's arm64 kernel, the cameras on its xHCI bus through usbredir as in
// the PC guest: each build on its own architecture's libusb 0.1.12, armhf as
// AArch32 user space on the 64-bit kernel.
#include <gtest/gtest.h>

#include "arm_guest.h"
#include "guest_scenario.h"

namespace arm_tests {
namespace {

// Each build's column of the registry, in its own byte order and word size.
class Arm64Guest : public e2e::GuestColumn<Arm64Guest> {
  public:
    static e2e::GuestSuitePlan plan() {
        return arm_guest_plan(registry::Stack::arm64_guest_arm64,
                              registry::Stack::arm64_guest_armhf, "_");
    }
};

TEST_P(Arm64Guest, ProbeOnTheArm64KernelsUsbStack) {
    const e2e::ColumnRun &arm = GetParam();
    suite().run_row([&] {
        e2e::PluggedDevices plugged = e2e::plug_row(suite().guest(), arm.row);
        e2e::expect_probe_run(arm, plugged,
                              e2e::run_timed(suite().guest(), suite().probe_on(arm.stack),
                                             e2e::run_options_of(arm.row)));
    });
}

INSTANTIATE_TEST_SUITE_P(OneBoot, Arm64Guest,
                         ::testing::ValuesIn(e2e::column_of(Arm64Guest::plan().stacks)),
                         e2e::NameOfRun());

}  // namespace
}  // namespace arm_tests

int main(int argc, char **argv) {
    return arm_tests::run_arm_guest_suite(argc, argv);
}
