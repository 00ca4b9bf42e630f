// SPDX-License-Identifier: MIT
// camera-probe, as built, inside a QEMU guest on Debian's own kernel, with
// emulated cameras on the guest's xHCI bus through usbredir: the kernel's
// real USB stack, usbfs and device-node permissions answer. The guest
// boots once; every scenario replugs the devices and runs the probe, on
// the system's libusb 0.1.12 and, where it matters, on libusb-compat-0.1:
// the same camera-probe staged twice, once with each library.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "expected_output.h"
#include "guest_vm.h"

#ifndef CAMERA_PROBE_BINARY
#error "CAMERA_PROBE_BINARY must name the built camera-probe"
#endif

namespace e2e {
namespace {

using usb_emulator::Camera;
using usb_emulator::Decoy;
using usb_emulator::GuestRunOptions;
using usb_emulator::GuestVm;
using usb_emulator::UsbDevice;

// Devices that share only the vendor or only the product ID with the camera.
constexpr std::uint16_t kDecoyIds[][2] = {{kTargetVendorId, 0x2801}, {0x04A9, kTargetProductId}};
constexpr std::size_t kUsbPorts = 4;

// The libraries a scenario runs on. libusb-compat takes the rows that tell
// the implementations apart on the real kernel; the boot's time goes to
// those rather than to repeating every fault.
const std::vector<Libusb> kOriginalOnly = {Libusb::original};
const std::vector<Libusb> kBoth = {Libusb::original, Libusb::compat};

struct VmScenario {
    const char *name;
    std::vector<Libusb> libusbs;
    std::vector<CameraConfig> cameras;
    GuestRunOptions run;
    ByLibusb<std::string> expected_output;
    // How many of the exchange's transfers reach each camera.
    std::size_t transfers_reaching_camera = 3;
    // A camera that never answers costs the kernel's own 5 s timeout.
    bool waits_for_kernel_timeout = false;
};

// One scenario on one library.
struct VmRun {
    VmScenario scenario;
    Libusb libusb;
};

void PrintTo(const VmRun &run, std::ostream *out) {
    *out << run.scenario.name << " on " << libusb_name(run.libusb);
}

GuestVm *guest = nullptr;
std::string boot_failure;
// camera-probe staged with each library, indexed by Libusb.
usb_emulator::GuestCommand probe_on[2];

class VmScenarios : public ::testing::TestWithParam<VmRun> {
  protected:
    // A guest that cannot boot fails every scenario, with the reason.
    static void SetUpTestSuite() {
        auto started = std::chrono::steady_clock::now();
        try {
            auto vm =
                std::make_unique<GuestVm>(usb_emulator::GuestSettings::from_build(), kUsbPorts);
            probe_on[static_cast<int>(Libusb::original)] = vm->add_command({CAMERA_PROBE_BINARY});
#ifdef LIBUSB_COMPAT_DIR
            probe_on[static_cast<int>(Libusb::compat)] = vm->add_command(
                {CAMERA_PROBE_BINARY}, usb_emulator::with_library_dir_first(
                                           usb_emulator::current_environment(), LIBUSB_COMPAT_DIR));
#endif
            vm->boot();
            guest = vm.release();
        } catch (const std::exception &error) {
            boot_failure = error.what();
            return;
        }
        std::printf(
            "guest kernel %s booted in %.1f s\n", guest->kernel_release().c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    static void TearDownTestSuite() {
        if (guest != nullptr) {
            guest->power_off();
        }
        delete guest;
        guest = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(guest, nullptr) << boot_failure;
    }
};

TEST_P(VmScenarios, ProbeOnTheKernelsUsbStack) {
    const VmScenario &scenario = GetParam().scenario;
    Libusb libusb = GetParam().libusb;
    std::vector<std::shared_ptr<Camera>> cameras;
    std::vector<std::shared_ptr<UsbDevice>> devices;
    for (const auto &ids : kDecoyIds) {
        devices.push_back(std::make_shared<Decoy>(ids[0], ids[1]));
    }
    for (const CameraConfig &config : scenario.cameras) {
        cameras.push_back(std::make_shared<Camera>(config));
        devices.push_back(cameras.back());
    }
    guest->plug(devices);

    auto started = std::chrono::steady_clock::now();
    usb_emulator::GuestRun run = guest->run(probe_on[static_cast<int>(libusb)], scenario.run);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(run.output, scenario.expected_output.on(libusb));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.errors, "");
    for (const auto &camera : cameras) {
        EXPECT_EQ(vendor_transfer_texts(*camera),
                  exchange_setups(scenario.transfers_reaching_camera));
    }
    for (std::size_t decoy = 0; decoy < std::size(kDecoyIds); ++decoy) {
        EXPECT_EQ(vendor_transfer_texts(*devices[decoy]), std::vector<std::string>{});
    }
    if (scenario.waits_for_kernel_timeout) {
        EXPECT_GE(seconds, 5.0);
        EXPECT_LT(seconds, 15.0);
    } else {
        EXPECT_LT(seconds, 5.0);
    }
}

GuestRunOptions as_user_with_nodes(const char *mode) {
    GuestRunOptions options;
    options.user = "probe";
    options.node_mode = mode;
    return options;
}

// xHCI reports a stall as EPIPE, a transfer cut by the unplug as
// ESHUTDOWN, and the kernel's timeout as ETIMEDOUT; a gone device's node
// gives ENODEV. libusb-compat turns libusb-1.0's LIBUSB_ERROR_NO_DEVICE,
// which stands for both of the last two, into ENXIO.
constexpr int kStall = -32;
constexpr int kShutDown = -108;
constexpr int kTimedOut = -110;
constexpr int kNoDevice = -19;
constexpr int kCompatNoDevice = -6;

const VmScenario kScenarios[] = {
    {"OneCamera", kBoth, {camera_config(0x00)}, {}, healthy_camera("00")},
    {"TwoCameras",
     kOriginalOnly,
     {camera_config(0x9A), camera_config(0x9A)},
     {},
     healthy_camera("9a") + healthy_camera("9a")},
    {"StalledFirstRead",
     kOriginalOnly,
     {camera_with(FaultAction::stall, FaultTarget::first_read)},
     {},
     kAnnouncement + result_line(kStall, "20") + result_line(1, "15")},
    {"StalledFirstReadsCarryTheByteIntoTheSecondCamera",
     kOriginalOnly,
     {camera_with(FaultAction::stall, FaultTarget::first_read),
      camera_with(FaultAction::stall, FaultTarget::first_read)},
     {},
     kAnnouncement + result_line(kStall, "20") + result_line(1, "15") + kAnnouncement +
         result_line(kStall, "15") + result_line(1, "15")},
    {"ZeroLengthFirstRead",
     kOriginalOnly,
     {camera_with(FaultAction::zero_length, FaultTarget::first_read)},
     {},
     kAnnouncement + result_line(0, "20") + result_line(1, "15")},
    {"RejectedWrite",
     kOriginalOnly,
     {camera_with(FaultAction::stall, FaultTarget::write)},
     {},
     kAnnouncement + result_line(1, "00") + result_line(1, "00")},
    {"UnpluggedAtFirstRead",
     kBoth,
     {camera_with(FaultAction::unplug, FaultTarget::first_read)},
     {},
     {kAnnouncement + result_line(kShutDown, "20") + result_line(kNoDevice, "20"),
      kAnnouncement + result_line(kCompatNoDevice, "20") + result_line(kCompatNoDevice, "20")},
     1},
    {"UnpluggedDuringTheWrite",
     kBoth,
     {camera_with(FaultAction::unplug, FaultTarget::write)},
     {},
     {kAnnouncement + result_line(1, "00") + result_line(kNoDevice, "00"),
      kAnnouncement + result_line(1, "00") + result_line(kCompatNoDevice, "00")},
     2},
    // libusb 0.1.12 opens a node it may not write read-only; usbfs then
    // refuses every transfer with EPERM before it reaches the camera.
    // libusb-compat lists the camera from sysfs, and its open fails.
    {"UserWithReadOnlyNode",
     kBoth,
     {camera_config(0x00)},
     as_user_with_nodes("0664"),
     {kAnnouncement + result_line(-1, "20") + result_line(-1, "20"), kAnnouncement + kOpenFailed},
     0},
    // A node it cannot read hides the camera from libusb 0.1.12.
    {"UserWithoutAccessToTheNode",
     kBoth,
     {camera_config(0x00)},
     as_user_with_nodes("0600"),
     {"", kAnnouncement + kOpenFailed},
     0},
    {"NoAnswerToFirstRead",
     kOriginalOnly,
     {camera_with(FaultAction::no_answer, FaultTarget::first_read)},
     {},
     kAnnouncement + result_line(kTimedOut, "20") + result_line(1, "15"),
     3,
     true},
};

// Every scenario on libusb 0.1.12, then those that say so on libusb-compat
// where the build has it.
std::vector<VmRun> vm_runs() {
    std::vector<VmRun> runs;
    for (Libusb libusb : kBoth) {
#ifndef LIBUSB_COMPAT_DIR
        if (libusb == Libusb::compat) {
            break;
        }
#endif
        for (const VmScenario &scenario : kScenarios) {
            const std::vector<Libusb> &on = scenario.libusbs;
            if (std::find(on.begin(), on.end(), libusb) != on.end()) {
                runs.push_back({scenario, libusb});
            }
        }
    }
    return runs;
}

INSTANTIATE_TEST_SUITE_P(OneBoot, VmScenarios, ::testing::ValuesIn(vm_runs()),
                         [](const ::testing::TestParamInfo<VmRun> &param) {
                             std::string name = param.param.scenario.name;
                             return param.param.libusb == Libusb::compat ? name + "OverLibusbCompat"
                                                                         : name;
                         });

}  // namespace
}  // namespace e2e

// Without a guest to boot the suite reports itself skipped (77), never
// passed; CI makes a missing piece a configure error instead.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string missing = usb_emulator::GuestSettings::from_build().missing();
    if (!missing.empty()) {
        std::printf("vm tests skipped: no %s\n", missing.c_str());
        return 77;
    }
    return RUN_ALL_TESTS();
}
