// SPDX-License-Identifier: MIT
// camera-probe of arm64 and of armhf, as cross-built, inside a QEMU arm64
// guest on Debian's arm64 kernel (qemu-system-aarch64, TCG), with emulated
// cameras on the guest's xHCI bus through usbredir, as in the PC guest. The
// guest boots once; every scenario replugs the devices and runs one of the
// two builds on its own architecture's libusb 0.1.12 from the guest image:
// the armhf one as AArch32 user space on the 64-bit kernel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "arm_builds.h"
#include "expected_output.h"
#include "guest_scenario.h"
#include "guest_vm.h"
#include "scenarios.h"

namespace arm_tests {
namespace {

using usb_emulator::GuestVm;

const char kGuestArch[] = "arm64";

// The registry's column for a build: arm64 or armhf in the arm64 guest.
registry::Stack stack_of(const std::string &arch) {
    return arch == "armhf" ? registry::Stack::arm64_guest_armhf
                           : registry::Stack::arm64_guest_arm64;
}

// One registry row with one build.
struct ArmRun {
    registry::Scenario row;
    std::size_t build;  // index into arm_builds()
};

void PrintTo(const ArmRun &run, std::ostream *out) {
    *out << run.row.name << " on " << arm_builds()[run.build].arch;
}

GuestVm *guest = nullptr;
std::string boot_failure;
// camera-probe of each build, staged into the guest, indexed as arm_builds().
std::vector<usb_emulator::GuestCommand> probe_of;

class Arm64Guest : public ::testing::TestWithParam<ArmRun> {
  protected:
    // A guest that cannot boot fails every scenario, with the reason.
    static void SetUpTestSuite() {
        guest = e2e::boot_for_suite(
                    [] {
                        auto staged = std::make_unique<GuestVm>(
                            usb_emulator::GuestSettings::from_build(kGuestArch),
                            e2e::usb_ports_for_every_row());
                        for (const ArmBuild &build : arm_builds()) {
                            probe_of.push_back(staged->add_command({build.camera_probe()}));
                        }
                        return staged;
                    },
                    boot_failure)
                    .release();
    }
    static void TearDownTestSuite() { e2e::power_off(guest); }
    void SetUp() override { ASSERT_NE(guest, nullptr) << boot_failure; }
};

TEST_P(Arm64Guest, ProbeOnTheArm64KernelsUsbStack) {
    const registry::Scenario &row = GetParam().row;
    const registry::Result &cell = row.on(stack_of(arm_builds()[GetParam().build].arch));
    e2e::PluggedDevices plugged = e2e::plug_among_decoys(*guest, row);

    auto started = std::chrono::steady_clock::now();
    usb_emulator::GuestRun run =
        guest->run(probe_of.at(GetParam().build), e2e::run_options_of(row));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(run.output, registry::expected_output(cell));
    EXPECT_EQ(run.exit_status, cell.exit_status);
    EXPECT_EQ(run.errors, "");
    e2e::expect_transfers(plugged, cell.transfers_reaching_camera);
    EXPECT_LT(seconds, 5.0);
}

// Each build's column of the registry: the rows the kernel and libusb
// 0.1.12 answer as on the amd64 guest, in the builds' own byte order and
// word size.
std::vector<ArmRun> arm_runs() {
    std::vector<ArmRun> runs;
    for (std::size_t build = 0; build < arm_builds().size(); ++build) {
        registry::Stack stack = stack_of(arm_builds()[build].arch);
        registry::print_not_run_on(stack);
        for (const registry::Scenario &row : registry::runs_on(stack)) {
            runs.push_back({row, build});
        }
    }
    return runs;
}

INSTANTIATE_TEST_SUITE_P(OneBoot, Arm64Guest, ::testing::ValuesIn(arm_runs()),
                         [](const ::testing::TestParamInfo<ArmRun> &param) {
                             return param.param.row.name + "_" +
                                    arm_builds()[param.param.build].arch;
                         });

std::string missing_piece() {
    for (const ArmBuild &build : arm_builds()) {
        if (std::string missing = build.missing_probe(); !missing.empty()) {
            return missing;
        }
    }
    return usb_emulator::GuestSettings::from_build(kGuestArch).missing();
}

}  // namespace
}  // namespace arm_tests

int main(int argc, char **argv) {
    return arm_tests::run_unless_missing(argc, argv, arm_tests::missing_piece());
}
