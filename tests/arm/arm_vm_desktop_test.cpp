// SPDX-License-Identifier: MIT
// camera-probe of arm64 and of armhf beside the camera's webcam driver
// (gspca_ov519, as on a Raspberry Pi desktop) in one boot of the arm64
// guest: each build's desktop column, the driver bound before, during and
// after the run.
#include <gtest/gtest.h>

#include "arm_guest.h"
#include "driver_transfers.h"

namespace arm_tests {
namespace {

class Arm64Desktop : public e2e::GuestColumn<Arm64Desktop> {
  public:
    static e2e::GuestSuitePlan plan() {
        return arm_guest_plan(registry::Stack::arm64_desktop_arm64,
                              registry::Stack::arm64_desktop_armhf, "On",
                              [](e2e::GuestVm &vm) { vm.load_driver(); });
    }
};

TEST_P(Arm64Desktop, ProbeBesideTheKernelsWebcamDriver) {
    const e2e::ColumnRun &desktop = GetParam();
    suite().run_row([&] {
        e2e::DesktopRowRun done =
            e2e::run_beside_driver(suite().guest(), suite().probe_on(desktop.stack), desktop.row);
        e2e::expect_desktop_cell(done, desktop.row, desktop.row.on(desktop.stack));
    });
}

INSTANTIATE_TEST_SUITE_P(OneBoot, Arm64Desktop,
                         ::testing::ValuesIn(e2e::column_of(Arm64Desktop::plan().stacks)),
                         e2e::NameOfRun());

}  // namespace
}  // namespace arm_tests

int main(int argc, char **argv) {
    return arm_tests::run_arm_guest_suite(argc, argv);
}
