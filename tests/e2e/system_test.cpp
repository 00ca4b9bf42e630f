// SPDX-License-Identifier: MIT
// camera-probe where users run it: a Debian system in a QEMU guest
// (systemd, udev, logind), the project's .deb installed there with apt, the
// camera plugged through usbredir. udev loads the kernel's webcam driver,
// logind gives the seat user access, the rule gives the group plugdev
// access; the host sets no node's mode and loads no driver. One boot runs
// every row of one release's column, each doing what its name says first
// (tests/e2e/system_rows.cpp), and on Debian's own releases the README's
// commands as written (tests/e2e/readme_commands.cpp).
//
//   camera_probe_system_tests [--release=trixie|bookworm|forky] [gtest options]
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "../missing_piece.h"
#include "guest_suite.h"
#include "system_rows.h"

namespace e2e {
namespace {

// A row's steps, an apt run among them, and the driver's probe under TCG.
constexpr std::chrono::seconds kStepLimit{120};

// Each release's column, and whether the README speaks of it.
struct Release {
    const char *name;
    registry::Stack stack;
    bool in_the_readme;
};
constexpr Release kReleases[] = {{"trixie", registry::Stack::amd64_system_trixie, true},
                                 {"bookworm", registry::Stack::amd64_system_bookworm, true},
                                 {"forky", registry::Stack::amd64_system_forky, false}};
const Release *release = &kReleases[0];

SystemCommands commands;
ReadmeRun readme;
SystemState state;

// The system guest, camera-probe the package's, the rows' and the README's
// commands staged; after the boot, the seat user's session.
GuestSuitePlan plan() {
    GuestSuitePlan plan;
    plan.make_guest = [] {
        usb_emulator::GuestSettings settings =
            usb_emulator::GuestSettings::system_from_build(release->name);
        settings.forward_ssh = true;
        return std::make_unique<GuestVm>(settings, usb_ports_for_every_row());
    };
    plan.stacks = {
        {release->stack, "", [](GuestVm &vm) { return vm.add_shell_command("camera-probe"); }}};
    plan.stage = [](GuestVm &vm) {
        commands =
            stage_system_commands(vm, built_package(CAMERA_PROBE_PACKAGE_DIR), CAMERA_PROBE_BINARY);
        if (release->in_the_readme) {
            readme = stage_readme_commands(vm, CAMERA_PROBE_SOURCE_DIR, commands.package);
        }
    };
    plan.after_boot = [](GuestVm &vm) {
        auto started = std::chrono::steady_clock::now();
        vm.wait_for_session("probe");
        std::printf(
            "the seat user's session was active %.1f s after the boot\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    };
    plan.after_failed_row = [](GuestVm &vm) { state = state_of(vm, commands); };
    plan.answer_limit = kStepLimit;
    return plan;
}

// One guest for the rows and the README's commands, whichever runs first.
GuestSuite &system_suite() {
    static GuestSuite one;
    return one;
}

class SystemGuest : public ::testing::Environment {
  public:
    void SetUp() override { system_suite().boot(plan()); }
    void TearDown() override { system_suite().power_off(); }
};

class SystemRows : public ::testing::TestWithParam<ColumnRun> {
  protected:
    void SetUp() override { system_suite().require_guest(); }
};

TEST_P(SystemRows, ProbeOnADebianSystem) {
    const ColumnRun &run = GetParam();
    system_suite().run_row(
        [&] { run_system_row(system_suite().guest(), commands, state, run.row, run.stack); });
}

INSTANTIATE_TEST_SUITE_P(OneBoot, SystemRows, ::testing::ValuesIn(column_of(plan().stacks)),
                         NameOfRun());

TEST(ReadmeCommands, RunAsWrittenByTheSeatUser) {
    if (!release->in_the_readme) {
        GTEST_SKIP() << "the README does not speak of " << release->name;
    }
    system_suite().require_guest();
    if (!HasFatalFailure()) {
        system_suite().run_row([] { readme(system_suite().guest(), commands, state); });
    }
}

// Takes --release=NAME out of the arguments; false for an unknown release.
bool take_release(int &argc, char **argv) {
    const char option[] = "--release=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], option, sizeof option - 1) != 0) {
            continue;
        }
        const char *name = argv[i] + sizeof option - 1;
        release = nullptr;
        for (const Release &known : kReleases) {
            release = std::strcmp(known.name, name) == 0 ? &known : release;
        }
        std::copy(argv + i + 1, argv + argc + 1, argv + i);
        --argc;
        return release != nullptr;
    }
    return true;
}

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    if (!e2e::take_release(argc, argv)) {
        std::fprintf(stderr, "camera_probe_system_tests: --release is trixie, bookworm or forky\n");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    std::string missing =
        usb_emulator::GuestSettings::system_from_build(e2e::release->name).missing();
    if (missing.empty()) {
        try {
            e2e::built_package(CAMERA_PROBE_PACKAGE_DIR);
        } catch (const std::exception &error) {
            missing = error.what();
        }
    }
    if (!missing.empty()) {
        return camera_probe_tests::report_missing_piece("system", missing);
    }
    ::testing::AddGlobalTestEnvironment(new e2e::SystemGuest);
    return RUN_ALL_TESTS();
}
