// SPDX-License-Identifier: MIT
#include "guest_suite.h"

#include <cstdio>
#include <exception>

#include "../missing_piece.h"
#include "guest_scenario.h"

namespace e2e {

double seconds_since(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

namespace {

std::string current_test_name() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

}  // namespace

std::function<std::unique_ptr<GuestVm>()> built_guest(const std::string &arch) {
    return [arch] {
        return std::make_unique<GuestVm>(usb_emulator::GuestSettings::from_build(arch),
                                         usb_ports_for_every_row());
    };
}

GuestSuitePlan host_guest_plan(registry::Stack original, registry::Stack compat) {
    GuestSuitePlan plan;
    plan.make_guest = built_guest();
    plan.stacks = {
        {original, "", [](GuestVm &vm) { return vm.add_command({CAMERA_PROBE_BINARY}); }}};
#ifdef LIBUSB_COMPAT_DIR
    plan.stacks.push_back({compat, "OverLibusbCompat", [](GuestVm &vm) {
                               return vm.add_command(
                                   {CAMERA_PROBE_BINARY},
                                   usb_emulator::with_library_dir_first(
                                       usb_emulator::current_environment(), LIBUSB_COMPAT_DIR));
                           }});
#else
    (void)compat;
#endif
    return plan;
}

int run_guest_suite(int argc, char **argv, const char *label) {
    return camera_probe_tests::run_unless_missing(
        argc, argv, label, usb_emulator::GuestSettings::from_build().missing());
}

void PrintTo(const ColumnRun &run, std::ostream *out) {
    *out << run.name;
}

std::vector<ColumnRun> column_of(const std::vector<SuiteStack> &stacks) {
    std::vector<ColumnRun> runs;
    for (const SuiteStack &stack : stacks) {
        registry::print_not_run_on(stack.stack);
        for (const registry::Scenario &row : registry::runs_on(stack.stack)) {
            runs.push_back({row, stack.stack, row.name + stack.name_suffix});
        }
    }
    return runs;
}

void GuestSuite::boot(const GuestSuitePlan &plan) {
    auto started = std::chrono::steady_clock::now();
    std::string failed = "the guest did not boot: ";
    try {
        std::unique_ptr<GuestVm> vm = plan.make_guest();
        for (const SuiteStack &stack : plan.stacks) {
            probe_on_[stack.stack] = stack.stage_probe(*vm);
        }
        if (plan.stage) {
            plan.stage(*vm);
        }
        vm->boot();
        std::printf("guest kernel %s booted in %.1f s\n", vm->kernel_release().c_str(),
                    seconds_since(started));
        vm->set_answer_limit(plan.answer_limit);
        failed = "the booted guest could not be prepared: ";
        if (plan.after_boot) {
            plan.after_boot(*vm);
        }
        guest_ = std::move(vm);
    } catch (const std::exception &error) {
        failure_ = failed + error.what();
    }
    after_failed_row_ = plan.after_failed_row;
}

void GuestSuite::power_off() {
    if (guest_ != nullptr) {
        guest_->power_off();
    }
    guest_.reset();
}

void GuestSuite::require_guest() const {
    if (guest_ == nullptr) {
        FAIL() << failure_;
    }
    if (!lost_in_.empty()) {
        FAIL() << "not run: the guest was lost in row " << lost_in_;
    }
}

void GuestSuite::run_row(const std::function<void()> &body) {
    try {
        body();
    } catch (const usb_emulator::GuestLost &lost) {
        lost_in_ = current_test_name();
        ADD_FAILURE() << "row " << lost_in_ << ": " << lost.what();
    } catch (const std::exception &error) {
        ADD_FAILURE() << "row " << current_test_name() << ": " << error.what();
        try {
            if (after_failed_row_) {
                after_failed_row_(*guest_);
            }
        } catch (const std::exception &lost) {
            lost_in_ = current_test_name();
            ADD_FAILURE() << "after row " << lost_in_ << ": " << lost.what();
        }
    }
}

TimedRun run_timed(GuestVm &guest, const GuestCommand &command,
                   const usb_emulator::GuestRunOptions &options) {
    auto started = std::chrono::steady_clock::now();
    TimedRun timed;
    timed.run = guest.run(command, options);
    timed.seconds = seconds_since(started);
    return timed;
}

void expect_kernel_timeouts(const TimedRun &timed, int unanswered) {
    double waited = unanswered * 5.0;
    EXPECT_GE(timed.seconds, waited);
    EXPECT_LT(timed.seconds, waited + (unanswered > 0 ? 10.0 : 5.0));
}

}  // namespace e2e
