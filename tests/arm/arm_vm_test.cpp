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

namespace arm_tests {
namespace {

using e2e::camera_config;
using e2e::camera_with;
using e2e::CameraConfig;
using e2e::FaultAction;
using e2e::FaultTarget;
using usb_emulator::GuestRunOptions;
using usb_emulator::GuestVm;

constexpr std::size_t kUsbPorts = 4;
const char kGuestArch[] = "arm64";

struct ArmScenario {
    const char *name;
    std::vector<CameraConfig> cameras;
    GuestRunOptions run;
    std::string expected_output;
    // How many of the exchange's transfers reach each camera.
    std::size_t transfers_reaching_camera = 3;
};

// One scenario with one build.
struct ArmRun {
    ArmScenario scenario;
    std::size_t build;  // index into arm_builds()
};

void PrintTo(const ArmRun &run, std::ostream *out) {
    *out << run.scenario.name << " on " << arm_builds()[run.build].arch;
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
                            usb_emulator::GuestSettings::from_build(kGuestArch), kUsbPorts);
                        for (const ArmBuild &build : arm_builds()) {
                            probe_of.push_back(staged->add_command({build.camera_probe()}));
                        }
                        return staged;
                    },
                    boot_failure)
                    .release();
    }
    static void TearDownTestSuite() {
        if (guest != nullptr) {
            guest->power_off();
        }
        delete guest;
        guest = nullptr;
    }
    void SetUp() override { ASSERT_NE(guest, nullptr) << boot_failure; }
};

TEST_P(Arm64Guest, ProbeOnTheArm64KernelsUsbStack) {
    const ArmScenario &scenario = GetParam().scenario;
    e2e::PluggedDevices plugged = e2e::plug_among_decoys(*guest, scenario.cameras);

    auto started = std::chrono::steady_clock::now();
    usb_emulator::GuestRun run = guest->run(probe_of.at(GetParam().build), scenario.run);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(run.output, scenario.expected_output);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.errors, "");
    e2e::expect_transfers(plugged, scenario.transfers_reaching_camera);
    EXPECT_LT(seconds, 5.0);
}

using e2e::kNoDevice;
using e2e::kShutDown;
using e2e::kStall;
using expected::healthy_camera;
using expected::kAnnouncement;
using expected::result_line;

// The same rows, and the same bytes, as on the PC guest: the kernel's USB
// stack and libusb 0.1.12 answer alike on both architectures.
const ArmScenario kScenarios[] = {
    {"OneCameraAmongDecoys", {camera_config(0x00)}, {}, healthy_camera("00")},
    {"TwoCamerasWithRegister9a",
     {camera_config(0x9A), camera_config(0x9A)},
     {},
     healthy_camera("9a") + healthy_camera("9a")},
    {"StalledFirstRead",
     {camera_with(FaultAction::stall, FaultTarget::first_read)},
     {},
     kAnnouncement + result_line(kStall, expected::kPresetHex) +
         result_line(1, expected::kWrittenHex)},
    {"UnpluggedAtFirstRead",
     {camera_with(FaultAction::unplug, FaultTarget::first_read)},
     {},
     kAnnouncement + result_line(kShutDown, expected::kPresetHex) +
         result_line(kNoDevice, expected::kPresetHex),
     1},
    {"UserWithReadOnlyNode",
     {camera_config(0x00)},
     e2e::as_user_with_nodes("0664"),
     kAnnouncement + result_line(-1, expected::kPresetHex) + result_line(-1, expected::kPresetHex),
     0},
    {"UserWithoutAccessToTheNode", {camera_config(0x00)}, e2e::as_user_with_nodes("0600"), "", 0},
};

std::vector<ArmRun> arm_runs() {
    std::vector<ArmRun> runs;
    for (std::size_t build = 0; build < arm_builds().size(); ++build) {
        for (const ArmScenario &scenario : kScenarios) {
            runs.push_back({scenario, build});
        }
    }
    return runs;
}

INSTANTIATE_TEST_SUITE_P(OneBoot, Arm64Guest, ::testing::ValuesIn(arm_runs()),
                         [](const ::testing::TestParamInfo<ArmRun> &param) {
                             return std::string(param.param.scenario.name) + "_" +
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
