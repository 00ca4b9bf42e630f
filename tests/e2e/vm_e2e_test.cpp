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
#include <optional>
#include <string>
#include <vector>

#include "../missing_piece.h"
#include "expected_output.h"
#include "guest_scenario.h"
#include "guest_vm.h"

#ifndef CAMERA_PROBE_BINARY
#error "CAMERA_PROBE_BINARY must name the built camera-probe"
#endif

namespace e2e {
namespace {

using usb_emulator::DescriptorLie;
using usb_emulator::GuestRunOptions;
using usb_emulator::GuestVm;

// Two decoys and at most two cameras.
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
    ByLibusb<std::size_t> transfers_reaching_camera = 3;
    // A camera that never answers costs the kernel's own 5 s timeout.
    bool waits_for_kernel_timeout = false;
    // Runs kFailingCommand instead of camera-probe: what the guest passes
    // back of a command that fails.
    bool runs_failing_command = false;
    int exit_status = 0;
    const char *errors = "";
    // A library fault that a plain build passes over silently and a build
    // with the sanitizers stops at: the library function their report names.
    ByLibusb<const char *> sanitizers_stop_in = static_cast<const char *>(nullptr);
};

// `scenario`, whose library fault the sanitizers report in `functions`.
VmScenario stopped_by_sanitizers(VmScenario scenario, ByLibusb<const char *> functions) {
    scenario.sanitizers_stop_in = functions;
    return scenario;
}

// A command that writes to both outputs and exits 3, staged from this
// host's shell.
const std::vector<std::string> kFailingCommand = {
    "/bin/sh", "-c", "printf 'to stdout'; printf 'to stderr\\n' >&2; exit 3"};

// How long one scenario may wait for the guest to answer before it is
// taken for stuck: well above a run that waits out the kernel's 5 s
// timeout under TCG, and few enough that a stuck guest leaves the label's
// time for every later scenario to say where it was lost.
constexpr std::chrono::seconds kScenarioLimit{60};

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
// The scenario the guest stopped answering in; later ones do not wait.
std::string lost_in;
// camera-probe staged with each library, indexed by Libusb.
usb_emulator::GuestCommand probe_on[2];
usb_emulator::GuestCommand failing_command;

class VmScenarios : public ::testing::TestWithParam<VmRun> {
  protected:
    // A guest that cannot boot fails every scenario, with the reason.
    static void SetUpTestSuite() {
        std::unique_ptr<GuestVm> vm = boot_for_suite(
            [] {
                auto staged =
                    std::make_unique<GuestVm>(usb_emulator::GuestSettings::from_build(), kUsbPorts);
                probe_on[static_cast<int>(Libusb::original)] =
                    staged->add_command({CAMERA_PROBE_BINARY});
#ifdef LIBUSB_COMPAT_DIR
                probe_on[static_cast<int>(Libusb::compat)] = staged->add_command(
                    {CAMERA_PROBE_BINARY},
                    usb_emulator::with_library_dir_first(usb_emulator::current_environment(),
                                                         LIBUSB_COMPAT_DIR));
#endif
                failing_command = staged->add_command(kFailingCommand);
                return staged;
            },
            boot_failure);
        if (vm != nullptr) {
            vm->set_answer_limit(kScenarioLimit);
            guest = vm.release();
        }
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
        ASSERT_EQ(lost_in, "") << "not run: the guest was lost in scenario " << lost_in;
    }
};

// Plugs the scenario's cameras among the decoys and runs its command. A
// guest that does not answer within the scenario's limit is lost: the
// failure names this scenario, and the later ones say where it was lost
// instead of waiting.
struct TimedRun {
    PluggedDevices plugged;
    usb_emulator::GuestRun run;
    double seconds = 0;  // the command's run, without the plugging
};

std::optional<TimedRun> run_in_guest(const VmRun &vm_run) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    try {
        TimedRun timed;
        timed.plugged = plug_among_decoys(*guest, vm_run.scenario.cameras);
        const usb_emulator::GuestCommand &command = vm_run.scenario.runs_failing_command
                                                        ? failing_command
                                                        : probe_on[static_cast<int>(vm_run.libusb)];
        auto started = std::chrono::steady_clock::now();
        timed.run = guest->run(command, vm_run.scenario.run);
        timed.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return timed;
    } catch (const std::exception &error) {
        lost_in = name;
        ADD_FAILURE() << "scenario " << name << ": " << error.what();
        return std::nullopt;
    }
}

TEST_P(VmScenarios, ProbeOnTheKernelsUsbStack) {
    const VmScenario &scenario = GetParam().scenario;
    Libusb libusb = GetParam().libusb;
    std::optional<TimedRun> timed = run_in_guest(GetParam());
    if (!timed) {
        return;
    }
    const usb_emulator::GuestRun &run = timed->run;
    double seconds = timed->seconds;
#ifdef CAMERA_PROBE_SANITIZED
    if (const char *function = scenario.sanitizers_stop_in.on(libusb)) {
        // Inside usb_find_devices() or at exit: nothing printed, status 1.
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.errors.find("Sanitizer"), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find(std::string(" in ") + function + " "), std::string::npos)
            << run.errors;
        expect_transfers(timed->plugged, 0);
        return;
    }
#endif

    EXPECT_EQ(run.output, scenario.expected_output.on(libusb));
    EXPECT_EQ(run.exit_status, scenario.exit_status);
    EXPECT_EQ(run.errors, scenario.errors);
    expect_transfers(timed->plugged, scenario.transfers_reaching_camera.on(libusb));
    if (scenario.waits_for_kernel_timeout) {
        EXPECT_GE(seconds, 5.0);
        EXPECT_LT(seconds, 15.0);
    } else {
        EXPECT_LT(seconds, 5.0);
    }
}

CameraConfig lying(usb_emulator::DescriptorLie lie) {
    CameraConfig config = camera_config(0x5A);
    config.descriptor_lie = lie;
    return config;
}

// libusb-compat turns libusb-1.0's LIBUSB_ERROR_NO_DEVICE, which stands for
// both a transfer cut by the unplug and a gone device, into ENXIO.
constexpr int kCompatNoDevice = -ENXIO;

// libusb 0.1.12's usb_parse_configuration() reads past the configuration it
// was given where the kernel's copy of a lying configuration is shorter than
// its wTotalLength says or than its descriptors' own lengths add up to.
// libusb-compat leaves such a device out without freeing what find_devices()
// allocated for it.
const char kOverReadInParse[] = "usb_parse_configuration";
const char kLeakInFindDevices[] = "find_devices";

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
    // The guest hands back a failing command's status and standard error.
    {"ACommandThatFailsKeepsItsStatusAndStandardError",
     kOriginalOnly,
     {camera_config(0x00)},
     {},
     std::string("to stdout"),
     0,
     false,
     true,
     3,
     "to stderr\n"},
    // Cameras that lie, as far as the kernel lets them through (see the
    // umockdev family for the lies themselves). The kernel keeps from a
    // configuration only its descriptors with a sound bLength and shows
    // that in sysfs, where libusb-1.0 then finds an interface without its
    // endpoint and leaves the device out; libusb 0.1.12 reads the node.
    stopped_by_sanitizers({"TotalLengthOneByteShort",
                           kBoth,
                           {lying(DescriptorLie::total_length_short)},
                           {},
                           {healthy_camera("5a"), ""},
                           {3, 0}},
                          {kOverReadInParse, kLeakInFindDevices}),
    stopped_by_sanitizers({"TotalLengthTooLong",
                           kBoth,
                           {lying(DescriptorLie::total_length_long)},
                           {},
                           healthy_camera("5a")},
                          {kOverReadInParse, nullptr}),
    // libusb-1.0 refuses the wTotalLength of 4 that sysfs still shows.
    {"TotalLengthShorterThanItsHeader",
     kBoth,
     {lying(DescriptorLie::total_length_tiny)},
     {},
     {healthy_camera("5a"), ""},
     {3, 0}},
    // The kernel keeps eight of the nine configurations.
    {"NineConfigurations",
     kBoth,
     {lying(DescriptorLie::many_configurations)},
     {},
     healthy_camera("5a")},
    stopped_by_sanitizers({"EndpointOfLengthZero",
                           kBoth,
                           {lying(DescriptorLie::endpoint_length_zero)},
                           {},
                           {healthy_camera("5a"), ""},
                           {3, 0}},
                          {kOverReadInParse, kLeakInFindDevices}),
    stopped_by_sanitizers({"ConfigurationAnsweredShort",
                           kBoth,
                           {lying(DescriptorLie::short_configuration_answer)},
                           {},
                           {healthy_camera("5a"), ""},
                           {3, 0}},
                          {kOverReadInParse, kLeakInFindDevices}),
    // QEMU's host controller keeps the byte asked for and drops the other.
    {"ReadsAnsweredWithAByteTooMany",
     kBoth,
     {camera_config(0x5A, {FaultAction::long_read, FaultTarget::every_read})},
     {},
     healthy_camera("5a")},
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

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string missing = usb_emulator::GuestSettings::from_build().missing();
    if (!missing.empty()) {
        return camera_probe_tests::report_missing_piece("vm", missing);
    }
    return RUN_ALL_TESTS();
}
