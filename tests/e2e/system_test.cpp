// SPDX-License-Identifier: MIT
// camera-probe where users run it: a Debian 12 system in a QEMU guest
// (systemd, udev, logind), the project's .deb installed there with apt, the
// camera plugged through usbredir. udev loads the kernel's webcam driver,
// logind gives the seat user access, the rule gives the group plugdev
// access; the host sets no node's mode and loads no driver. One boot runs
// every row of the system column, each doing what its name says first
// (tests/e2e/system_rows.cpp), and then the README's commands as written
// (tests/e2e/readme_commands.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "../missing_piece.h"
#include "guest_scenario.h"
#include "guest_vm.h"
#include "readme_commands.h"
#include "system_rows.h"

#ifndef CAMERA_PROBE_BINARY
#error "CAMERA_PROBE_BINARY must name the built camera-probe"
#endif
#ifndef CAMERA_PROBE_PACKAGE_DIR
#error "CAMERA_PROBE_PACKAGE_DIR must name where make package leaves the .deb"
#endif
#ifndef CAMERA_PROBE_SOURCE_DIR
#error "CAMERA_PROBE_SOURCE_DIR must name the checkout"
#endif

namespace e2e {
namespace {

using usb_emulator::GuestVm;

// A row's steps, an apt run among them, and the driver's probe under TCG.
constexpr std::chrono::seconds kStepLimit{120};

GuestVm *guest = nullptr;
std::string boot_failure;
std::string lost_in;
SystemCommands commands;
ReadmeCommands readme;
SystemState state;

class SystemGuest : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string deb = built_package(CAMERA_PROBE_PACKAGE_DIR);
        std::unique_ptr<GuestVm> vm = boot_for_suite(
            [&deb] {
                auto staged = std::make_unique<GuestVm>(
                    usb_emulator::GuestSettings::system_from_build(), usb_ports_for_every_row());
                commands = stage_system_commands(*staged, {deb, CAMERA_PROBE_BINARY});
                readme = stage_readme_commands(*staged, CAMERA_PROBE_SOURCE_DIR, deb);
                return staged;
            },
            boot_failure);
        if (vm == nullptr) {
            return;
        }
        vm->set_answer_limit(kStepLimit);
        try {
            auto started = std::chrono::steady_clock::now();
            vm->wait_for_session("probe");
            std::printf(
                "the seat user's session was active %.1f s after the boot\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        } catch (const std::exception &error) {
            boot_failure = error.what();
            return;
        }
        guest = vm.release();
    }
    void TearDown() override { power_off(guest); }
};

class SystemRows : public ::testing::TestWithParam<registry::Scenario> {
  protected:
    static void SetUpTestSuite() {
        registry::print_not_run_on(registry::Stack::amd64_system_libusb012);
    }
    void SetUp() override {
        ASSERT_NE(guest, nullptr) << boot_failure;
        ASSERT_EQ(lost_in, "") << "not run: the guest was lost in " << lost_in;
    }
};

TEST_P(SystemRows, ProbeOnADebianSystem) {
    const registry::Scenario &row = GetParam();
    SystemRowRun done;
    try {
        done = run_system_row(*guest, commands, state, row);
    } catch (const std::exception &error) {
        lost_in = row.name;
        FAIL() << "row " << row.name << ": " << error.what();
    }
    std::printf("%s: as %s, ", row.name.c_str(), row.system_user.c_str());
    if (done.access_seconds >= 0) {
        std::printf("write access %.1f s after the %s; ", done.access_seconds,
                    row.name == "InstalledWithTheCameraPlugged" ? "install began" : "plug");
    }
    std::printf("printed \"%s\", exit status %d%s%s\n", done.run.output.c_str(),
                done.run.exit_status, done.note.empty() ? "" : "; ", done.note.c_str());
    check_system_row(done, row);
}

INSTANTIATE_TEST_SUITE_P(
    OneBoot, SystemRows,
    ::testing::ValuesIn(registry::runs_on(registry::Stack::amd64_system_libusb012)),
    [](const ::testing::TestParamInfo<registry::Scenario> &param) { return param.param.name; });

TEST(ReadmeCommands, RunAsWrittenByTheSeatUser) {
    ASSERT_NE(guest, nullptr) << boot_failure;
    ASSERT_EQ(lost_in, "") << "not run: the guest was lost in " << lost_in;
    try {
        run_readme_commands(*guest, readme, commands, state);
    } catch (const std::exception &error) {
        lost_in = "the README's commands";
        FAIL() << error.what();
    }
}

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string missing = usb_emulator::GuestSettings::system_from_build().missing();
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
