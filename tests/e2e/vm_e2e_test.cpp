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
#include "scenarios.h"

#ifndef CAMERA_PROBE_BINARY
#error "CAMERA_PROBE_BINARY must name the built camera-probe"
#endif

namespace e2e {
namespace {

using usb_emulator::GuestRunOptions;
using usb_emulator::GuestVm;

const std::vector<Libusb> kBoth = {Libusb::original, Libusb::compat};

registry::Stack guest_stack(Libusb libusb) {
    return libusb == Libusb::compat ? registry::Stack::amd64_guest_compat
                                    : registry::Stack::amd64_guest_libusb012;
}

// The kernel's own timeout of a transfer the camera never answers.
constexpr double kKernelTimeoutSeconds = 5.0;

// A command that writes to both outputs and exits 3, staged from this
// host's shell.
const std::vector<std::string> kFailingCommand = {
    "/bin/sh", "-c", "printf 'to stdout'; printf 'to stderr\\n' >&2; exit 3"};

// How long one scenario may wait for the guest to answer before it is
// taken for stuck: well above a run that waits out the kernel's 5 s
// timeout under TCG, and few enough that a stuck guest leaves the label's
// time for every later scenario to say where it was lost.
constexpr std::chrono::seconds kScenarioLimit{60};

// One registry row on one library; or, instead of camera-probe,
// kFailingCommand: what the guest passes back of a command that fails.
struct VmRun {
    registry::Scenario row;
    Libusb libusb;
    bool runs_failing_command = false;
};

void PrintTo(const VmRun &run, std::ostream *out) {
    *out << run.row.name << " on " << libusb_name(run.libusb);
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
                auto staged = std::make_unique<GuestVm>(usb_emulator::GuestSettings::from_build(),
                                                        usb_ports_for_every_row());
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
        power_off(guest);
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
        timed.plugged = plug_among_decoys(*guest, vm_run.row);
        const usb_emulator::GuestCommand &command = vm_run.runs_failing_command
                                                        ? failing_command
                                                        : probe_on[static_cast<int>(vm_run.libusb)];
        auto started = std::chrono::steady_clock::now();
        timed.run = guest->run(command, run_options_of(vm_run.row));
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
    const VmRun &vm_run = GetParam();
    const registry::Result &cell = vm_run.row.on(guest_stack(vm_run.libusb));
    std::optional<TimedRun> timed = run_in_guest(vm_run);
    if (!timed) {
        return;
    }
    const usb_emulator::GuestRun &run = timed->run;
    double seconds = timed->seconds;
    if (vm_run.runs_failing_command) {
        EXPECT_EQ(run.output, "to stdout");
        EXPECT_EQ(run.exit_status, 3);
        EXPECT_EQ(run.errors, "to stderr\n");
        expect_transfers(timed->plugged, 0);
        return;
    }
#ifdef CAMERA_PROBE_SANITIZED
    if (!cell.sanitizers_stop_in.empty()) {
        // Inside usb_find_devices() or at exit: nothing printed, status 1.
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.errors.find("Sanitizer"), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find(" in " + cell.sanitizers_stop_in + " "), std::string::npos)
            << run.errors;
        expect_transfers(timed->plugged, 0);
        return;
    }
#endif

    EXPECT_EQ(run.output, registry::expected_output(cell));
    EXPECT_EQ(run.exit_status, cell.exit_status);
    EXPECT_EQ(run.errors, "");
    expect_transfers(timed->plugged, cell.transfers_reaching_camera);
    // A camera that never answers costs the kernel's own timeout.
    double waited = vm_run.row.unanswered * kKernelTimeoutSeconds;
    EXPECT_GE(seconds, waited);
    EXPECT_LT(seconds, waited + (vm_run.row.unanswered > 0 ? 10.0 : 5.0));
}

// Every row of the registry's libusb 0.1.12 guest column, then those of
// its libusb-compat column where the build has it, and the failing command.
std::vector<VmRun> vm_runs() {
    std::vector<VmRun> runs;
    for (Libusb libusb : kBoth) {
#ifndef LIBUSB_COMPAT_DIR
        if (libusb == Libusb::compat) {
            break;
        }
#endif
        registry::print_not_run_on(guest_stack(libusb));
        for (const registry::Scenario &row : registry::runs_on(guest_stack(libusb))) {
            runs.push_back({row, libusb});
        }
    }
    registry::Scenario failing = registry::scenario("OneCameraAmongDecoys");
    failing.name = "ACommandThatFailsKeepsItsStatusAndStandardError";
    runs.push_back({failing, Libusb::original, true});
    return runs;
}

INSTANTIATE_TEST_SUITE_P(OneBoot, VmScenarios, ::testing::ValuesIn(vm_runs()),
                         [](const ::testing::TestParamInfo<VmRun> &param) {
                             std::string name = param.param.row.name;
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
