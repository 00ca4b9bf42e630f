// SPDX-License-Identifier: MIT
// camera-probe of arm64 and of armhf, as cross-built, inside a QEMU arm64
// guest on Debian's arm64 kernel (qemu-system-aarch64, TCG), with emulated
// cameras on the guest's xHCI bus through usbredir, as in the PC guest. The
// guest boots once; every scenario replugs the devices and runs one of the
// two builds on its own architecture's libusb 0.1.12 from the guest image:
// the armhf one as AArch32 user space on the 64-bit kernel.
#include <gtest/gtest.h>

#include <string>

#include "arm_builds.h"
#include "arm_guest.h"
#include "guest_scenario.h"
#include "guest_suite.h"

namespace arm_tests {
namespace {

using e2e::GuestSuitePlan;

// Each build's column of the registry: the rows the kernel and libusb
// 0.1.12 answer as on the amd64 guest, in the builds' own byte order and
// word size.
class Arm64Guest : public e2e::GuestColumn<Arm64Guest> {
  public:
    static GuestSuitePlan plan() {
        GuestSuitePlan plan;
        plan.make_guest = e2e::built_guest(kArmGuestArch);
        plan.stacks = arm_probe_stacks(registry::Stack::arm64_guest_arm64,
                                       registry::Stack::arm64_guest_armhf, "_");
        return plan;
    }
};

TEST_P(Arm64Guest, ProbeOnTheArm64KernelsUsbStack) {
    const e2e::ColumnRun &arm = GetParam();
    const registry::Result &cell = arm.row.on(arm.stack);
    suite().run_row([&] {
        e2e::PluggedDevices plugged = e2e::plug_row(suite().guest(), arm.row);
        e2e::TimedRun timed = e2e::run_timed(suite().guest(), suite().probe_on(arm.stack),
                                             e2e::run_options_of(arm.row));
        EXPECT_EQ(timed.run.output, registry::expected_output(cell));
        EXPECT_EQ(timed.run.exit_status, registry::status_seen_by_a_shell(cell));
        EXPECT_EQ(timed.run.errors, "");
        e2e::expect_transfers(plugged, cell.transfers_reaching_camera);
        EXPECT_LT(timed.seconds, 5.0);
    });
}

INSTANTIATE_TEST_SUITE_P(OneBoot, Arm64Guest,
                         ::testing::ValuesIn(e2e::column_of(Arm64Guest::plan().stacks)),
                         e2e::NameOfRun());

}  // namespace
}  // namespace arm_tests

int main(int argc, char **argv) {
    return arm_tests::run_unless_missing(argc, argv, arm_tests::missing_from_arm_guest());
}
