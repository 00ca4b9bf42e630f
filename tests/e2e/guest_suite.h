// SPDX-License-Identifier: MIT
// What every guest suite shares: one guest booted for the whole suite, the
// registry's column of each of its stacks run row by row. A row that fails
// while the guest still answers fails alone; once the guest stops
// answering, every later row fails at once, saying in which row it was lost.
// A suite: a class deriving from GuestColumn<itself> with a static plan(),
// a TEST_P whose body hands its work to suite().run_row(), and
// INSTANTIATE_TEST_SUITE_P over column_of(plan().stacks).
#ifndef CAMERA_PROBE_TESTS_E2E_GUEST_SUITE_H
#define CAMERA_PROBE_TESTS_E2E_GUEST_SUITE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "expected_output.h"
#include "guest_vm.h"
#include "scenarios.h"

namespace e2e {

using usb_emulator::GuestCommand;
using usb_emulator::GuestVm;

// One of a suite's stacks: the registry column it runs, what its runs'
// names add to the row's, and how camera-probe is staged for it.
struct SuiteStack {
    registry::Stack stack;
    std::string name_suffix;
    std::function<GuestCommand(GuestVm &)> stage_probe;
};

struct GuestSuitePlan {
    // Makes the suite's guest, not yet booted.
    std::function<std::unique_ptr<GuestVm>()> make_guest;
    std::vector<SuiteStack> stacks;
    std::function<void(GuestVm &)> stage;
    // Once after the boot (loading the webcam driver); a throw fails every row.
    std::function<void(GuestVm &)> after_boot;
    // After a row that failed with the guest still answering: brings the
    // suite's idea of the guest back to what the guest is.
    std::function<void(GuestVm &)> after_failed_row;
    // How long a row waits for the guest to answer before taking it for
    // lost: well above a driver's probe or the kernel's 5 s timeout under
    // TCG, and short enough to leave every later row time to say so.
    std::chrono::seconds answer_limit{60};
};

// The guest of `arch` the project builds, with a port for every device of
// any registry row.
std::function<std::unique_ptr<GuestVm>()> built_guest(const std::string &arch = "amd64");

// The amd64 guest's plan for camera-probe as built, staged with this
// host's libraries: the system's libusb 0.1.12 on `original`, and where
// the build has libusb-compat-0.1, that one on `compat`.
GuestSuitePlan host_guest_plan(registry::Stack original, registry::Stack compat);

// A guest suite's main(): its tests, unless the guest image is missing.
int run_guest_suite(int argc, char **argv, const char *label);

// One run of a suite's column: a registry row on one of its stacks.
struct ColumnRun {
    registry::Scenario row;
    registry::Stack stack;
    std::string name;  // the row's name and the stack's suffix
};
void PrintTo(const ColumnRun &run, std::ostream *out);

// The rows each of `stacks` runs, stack after stack; prints those it
// leaves out, and why.
std::vector<ColumnRun> column_of(const std::vector<SuiteStack> &stacks);

class GuestSuite {
  public:
    // Makes, stages and boots the plan's guest; what goes wrong is kept for
    // every row to fail with.
    void boot(const GuestSuitePlan &plan);
    void power_off();
    // In a test's SetUp: fails it fatally when there is no guest to run in.
    void require_guest() const;
    GuestVm &guest() { return *guest_; }
    const GuestCommand &probe_on(registry::Stack stack) const { return probe_on_.at(stack); }
    // Runs the current row's `body`. A throw from it is a failure that names
    // the row; a GuestLost is besides the end of the later rows.
    void run_row(const std::function<void()> &body);

  private:
    std::unique_ptr<GuestVm> guest_;
    std::map<registry::Stack, GuestCommand> probe_on_;
    std::function<void(GuestVm &)> after_failed_row_;
    std::string failure_;
    std::string lost_in_;
};

// The gtest fixture of a guest suite. `Suite` derives from it and gives
// `static GuestSuitePlan plan()`; each Suite has a guest of its own.
template <typename Suite>
class GuestColumn : public ::testing::TestWithParam<ColumnRun> {
  public:
    static GuestSuite &suite() {
        static GuestSuite one;
        return one;
    }

  protected:
    static void SetUpTestSuite() { suite().boot(Suite::plan()); }
    static void TearDownTestSuite() { suite().power_off(); }
    void SetUp() override { suite().require_guest(); }
};

double seconds_since(std::chrono::steady_clock::time_point started);

// A command's run and its wall time, the plugging before it left out.
struct TimedRun {
    usb_emulator::GuestRun run;
    double seconds = 0;
};
TimedRun run_timed(GuestVm &guest, const GuestCommand &command,
                   const usb_emulator::GuestRunOptions &options = {});
// Each transfer the camera never answers costs the kernel's own 5 s
// timeout; a run takes those and less than 5 s more, 10 s where it waits.
void expect_kernel_timeouts(const TimedRun &timed, int unanswered);

}  // namespace e2e

#endif
