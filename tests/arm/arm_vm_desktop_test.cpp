// SPDX-License-Identifier: MIT
// camera-probe of arm64 and of armhf beside the kernel's webcam driver for
// the camera (gspca_ov519), in one boot of the arm64 guest on Debian's
// arm64 kernel: a Raspberry Pi desktop has the same driver. Each build runs
// the registry's desktop column for it (the typical desktop row: one
// camera, the driver loaded before it is plugged, bound when camera-probe
// runs and still bound afterwards).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "arm_builds.h"
#include "driver_transfers.h"
#include "expected_output.h"
#include "guest_scenario.h"
#include "guest_vm.h"

namespace arm_tests {
namespace {

using usb_emulator::GuestVm;

const char kGuestArch[] = "arm64";

// The registry's desktop column for a build: arm64 or armhf in the arm64
// guest, the webcam driver bound.
registry::Stack desktop_stack_of(const std::string &arch) {
    return arch == "armhf" ? registry::Stack::arm64_desktop_armhf
                           : registry::Stack::arm64_desktop_arm64;
}

// One registry desktop row with one build.
struct DesktopRun {
    registry::Scenario row;
    std::size_t build;  // index into arm_builds()
};

void PrintTo(const DesktopRun &run, std::ostream *out) {
    *out << run.row.name << " on " << arm_builds()[run.build].arch;
}

std::vector<DesktopRun> desktop_runs() {
    std::vector<DesktopRun> runs;
    for (std::size_t build = 0; build < arm_builds().size(); ++build) {
        registry::Stack stack = desktop_stack_of(arm_builds()[build].arch);
        registry::print_not_run_on(stack);
        for (const registry::Scenario &row : registry::runs_on(stack)) {
            runs.push_back({row, build});
        }
    }
    return runs;
}

GuestVm *guest = nullptr;
std::string boot_failure;
// camera-probe of each build, staged into the guest, indexed as arm_builds().
std::vector<usb_emulator::GuestCommand> probe_of;

class Arm64Desktop : public ::testing::TestWithParam<DesktopRun> {
  protected:
    // A guest that cannot boot, or whose driver does not load, fails every row.
    static void SetUpTestSuite() {
        std::unique_ptr<GuestVm> vm = e2e::boot_for_suite(
            [] {
                auto staged =
                    std::make_unique<GuestVm>(usb_emulator::GuestSettings::from_build(kGuestArch),
                                              e2e::usb_ports_for_every_row());
                for (const ArmBuild &build : arm_builds()) {
                    probe_of.push_back(staged->add_command({build.camera_probe()}));
                }
                return staged;
            },
            boot_failure);
        if (vm == nullptr) {
            return;
        }
        if (e2e::load_driver(*vm, boot_failure)) {
            guest = vm.release();
        }
    }
    static void TearDownTestSuite() { e2e::power_off(guest); }
    void SetUp() override { ASSERT_NE(guest, nullptr) << boot_failure; }
};

TEST_P(Arm64Desktop, ProbeBesideTheKernelsWebcamDriver) {
    const DesktopRun &desktop = GetParam();
    const registry::Result &cell =
        desktop.row.on(desktop_stack_of(arm_builds()[desktop.build].arch));
    std::vector<e2e::CameraConfig> cameras = e2e::configs_of(desktop.row);
    for (e2e::CameraConfig &camera : cameras) {
        camera.fault_armed = false;
    }
    e2e::DriverBoundCameras bound = e2e::plug_beside_driver(*guest, cameras);
    std::printf("the driver bound the camera %.1f s after the guest saw it\n", bound.bind_seconds);
    usb_emulator::GuestRun run =
        guest->run(probe_of.at(desktop.build), e2e::run_options_of(desktop.row));
    guest->wait_for_driver(cameras.size());

    std::vector<std::uint8_t> left =
        e2e::check_each_camera(bound, cameras, cell.transfers_reaching_camera);
    EXPECT_EQ(run.output, registry::expected_output(cell, left));
    EXPECT_EQ(run.exit_status, cell.exit_status);
    EXPECT_EQ(run.errors, "");
}

INSTANTIATE_TEST_SUITE_P(OneBoot, Arm64Desktop, ::testing::ValuesIn(desktop_runs()),
                         [](const ::testing::TestParamInfo<DesktopRun> &param) {
                             return param.param.row.name + "On" +
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
