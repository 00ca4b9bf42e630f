// SPDX-License-Identifier: MIT
// camera-probe, as built, inside a QEMU guest on Debian's own kernel, with
// emulated cameras on its xHCI bus through usbredir: the kernel's USB
// stack, usbfs and device-node permissions answer. One boot; every row
// replugs the devices and runs the probe on the system's libusb 0.1.12 and,
// where it matters, on libusb-compat-0.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "guest_scenario.h"
#include "guest_suite.h"

namespace e2e {
namespace {

// A command that writes to both outputs and exits 3, staged from this
// host's shell, runs in one more row instead of camera-probe: what the
// guest passes back of a command that fails.
const char kFailingCommandRow[] = "ACommandThatFailsKeepsItsStatusAndStandardError";
GuestCommand failing_command;

class VmScenarios : public GuestColumn<VmScenarios> {
  public:
    static GuestSuitePlan plan() {
        GuestSuitePlan plan = host_guest_plan(registry::Stack::amd64_guest_libusb012,
                                              registry::Stack::amd64_guest_compat);
        plan.stage = [](GuestVm &vm) {
            failing_command = vm.add_command(
                {"/bin/sh", "-c", "printf 'to stdout'; printf 'to stderr\\n' >&2; exit 3"});
        };
        return plan;
    }
};

void expect_cell(const ColumnRun &vm_run, const PluggedDevices &plugged, const TimedRun &timed) {
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
    const ColumnRun &vm_run = GetParam();
    suite().run_row([&] {
        GuestVm &guest = suite().guest();
        PluggedDevices plugged = plug_row(guest, vm_run.row);
        if (vm_run.name == kFailingCommandRow) {
            usb_emulator::GuestRun run = guest.run(failing_command, run_options_of(vm_run.row));
            EXPECT_EQ(run.output, "to stdout");
            EXPECT_EQ(run.exit_status, 3);
            EXPECT_EQ(run.errors, "to stderr\n");
            expect_transfers(plugged, 0);
            return;
        }
        expect_cell(vm_run, plugged,
                    run_timed(guest, suite().probe_on(vm_run.stack), run_options_of(vm_run.row)));
    });
}

// The libusb 0.1.12 guest column, the libusb-compat one where the build has
// it, and the failing command with the typical row's devices plugged.
std::vector<ColumnRun> vm_runs() {
    std::vector<ColumnRun> runs = column_of(VmScenarios::plan().stacks);
    runs.push_back({registry::scenario("OneCameraAmongDecoys"),
                    registry::Stack::amd64_guest_libusb012, kFailingCommandRow});
    return runs;
}

INSTANTIATE_TEST_SUITE_P(OneBoot, VmScenarios, ::testing::ValuesIn(vm_runs()), NameOfRun());

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    return e2e::run_guest_suite(argc, argv, "vm");
}
