// SPDX-License-Identifier: MIT
// camera-probe, as built, inside a QEMU guest on Debian's own kernel, with
// emulated cameras on the guest's xHCI bus through usbredir: the kernel's
// real USB stack, usbfs and device-node permissions answer. The guest
// boots once; every scenario replugs the devices and runs the probe, on
// the system's libusb 0.1.12 and, where it matters, on libusb-compat-0.1:
// the same camera-probe staged twice, once with each library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../missing_piece.h"
#include "guest_scenario.h"
#include "guest_suite.h"

namespace e2e {
namespace {

// A command that writes to both outputs and exits 3, staged from this
// host's shell.
const std::vector<std::string> kFailingCommand = {
    "/bin/sh", "-c", "printf 'to stdout'; printf 'to stderr\\n' >&2; exit 3"};
GuestCommand failing_command;

// A registry row on one library; or, instead of camera-probe,
// kFailingCommand: what the guest passes back of a command that fails.
struct VmRun : ColumnRun {
    bool runs_failing_command = false;
};
void PrintTo(const VmRun &run, std::ostream *out) {
    *out << run.name;
}

class VmScenarios : public GuestColumn<VmScenarios, VmRun> {
  public:
    static GuestSuitePlan plan() {
        GuestSuitePlan plan;
        plan.make_guest = built_guest();
        plan.stacks = host_probe_stacks(registry::Stack::amd64_guest_libusb012,
                                        registry::Stack::amd64_guest_compat);
        plan.stage = [](GuestVm &vm) { failing_command = vm.add_command(kFailingCommand); };
        return plan;
    }
};

void expect_failing_command(const TimedRun &timed) {
    EXPECT_EQ(timed.run.output, "to stdout");
    EXPECT_EQ(timed.run.exit_status, 3);
    EXPECT_EQ(timed.run.errors, "to stderr\n");
}

void expect_cell(const VmRun &vm_run, const PluggedDevices &plugged, const TimedRun &timed) {
#ifdef CAMERA_PROBE_SANITIZED
    const registry::Result &cell = vm_run.row.on(vm_run.stack);
    const usb_emulator::GuestRun &run = timed.run;
    if (!cell.sanitizers_stop_in.empty()) {
        // Inside usb_find_devices() or at exit: nothing printed, status 1.
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_NE(run.errors.find("Sanitizer"), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find(" in " + cell.sanitizers_stop_in + " "), std::string::npos)
            << run.errors;
        expect_transfers(plugged, 0);
        return;
    }
#endif
    expect_probe_run(vm_run, plugged, timed);
}

TEST_P(VmScenarios, ProbeOnTheKernelsUsbStack) {
    const VmRun &vm_run = GetParam();
    suite().run_row([&] {
        GuestVm &guest = suite().guest();
        PluggedDevices plugged = plug_row(guest, vm_run.row);
        if (vm_run.runs_failing_command) {
            expect_failing_command(run_timed(guest, failing_command, run_options_of(vm_run.row)));
            expect_transfers(plugged, 0);
            return;
        }
        TimedRun timed =
            run_timed(guest, suite().probe_on(vm_run.stack), run_options_of(vm_run.row));
        expect_cell(vm_run, plugged, timed);
    });
}

// Every row of the registry's libusb 0.1.12 guest column, then those of
// its libusb-compat column where the build has it, and the failing command.
std::vector<VmRun> vm_runs() {
    std::vector<VmRun> runs;
    for (const ColumnRun &run : column_of(VmScenarios::plan().stacks)) {
        runs.push_back({run});
    }
    VmRun failing;
    failing.row = registry::scenario("OneCameraAmongDecoys");
    failing.stack = registry::Stack::amd64_guest_libusb012;
    failing.name = "ACommandThatFailsKeepsItsStatusAndStandardError";
    failing.runs_failing_command = true;
    runs.push_back(failing);
    return runs;
}

INSTANTIATE_TEST_SUITE_P(OneBoot, VmScenarios, ::testing::ValuesIn(vm_runs()), NameOfRun());

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    return camera_probe_tests::run_unless_missing(
        argc, argv, "vm", usb_emulator::GuestSettings::from_build().missing());
}
