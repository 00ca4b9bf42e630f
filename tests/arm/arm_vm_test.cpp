// SPDX-License-Identifier: MIT
// camera-probe of arm64 and of armhf, as cross-built, inside a QEMU arm64
// guest on Debian's arm64 kernel (qemu-system-aarch64, TCG), with emulated
// cameras on the guest's xHCI bus through usbredir, as in the PC guest. The
// guest boots once; every scenario replugs the devices and runs one of the
// two builds on its own architecture's libusb 0.1.12 from the guest image:
// the armhf one as AArch32 user space on the 64-bit kernel.
#include <gtest/gtest.h>

#include "arm_guest.h"
#include "guest_scenario.h"

namespace arm_tests {
namespace {

// Each build's column of the registry: the rows the kernel and libusb
// 0.1.12 answer as on the amd64 guest, in the builds' own byte order and
// word size.
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
