// SPDX-License-Identifier: MIT
// The arm64 and armhf cross builds under qemu-user, each architecture's
// Debian libraries as the root (-L): the unit tests, and camera-probe on a
// USB file system of the test's own. qemu-user exits 255 when it cannot start
// the program, as a failed scan does, so every check reads the output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "../missing_piece.h"
#include "arm_builds.h"
#include "process.h"
#include "scenarios.h"

#ifndef HOST_UNIT_TESTS
#error "HOST_UNIT_TESTS must name this host's build of the unit tests"
#endif

namespace arm_tests {
namespace {

namespace fs = std::filesystem;

usb_emulator::ProcessResult run_under_qemu_user(
    const ArmBuild &build, const std::vector<std::string> &argv,
    const std::vector<std::string> &environment = usb_emulator::current_environment()) {
    std::vector<std::string> command = {build.qemu_user, "-L", build.runtime()};
    command.insert(command.end(), argv.begin(), argv.end());
    return usb_emulator::run_process(command, environment);
}

// The tests GoogleTest lists: one a line, two spaces in under its suite's.
int listed_tests(const std::string &listing) {
    static const std::regex kTestLine("\n  [^ ]");
    return static_cast<int>(std::distance(
        std::sregex_iterator(listing.begin(), listing.end(), kTestLine), std::sregex_iterator()));
}

class QemuUser : public ::testing::TestWithParam<ArmBuild> {};

// Every unit test of the host's build ran and passed on the target's CPU.
TEST_P(QemuUser, UnitTestsPass) {
    usb_emulator::ProcessResult host = usb_emulator::run_process(
        {HOST_UNIT_TESTS, "--gtest_list_tests"}, usb_emulator::current_environment());
    ASSERT_EQ(host.exit_status, 0);
    int host_tests = listed_tests(host.output);
    ASSERT_GT(host_tests, 0);

    usb_emulator::ProcessResult run = run_under_qemu_user(GetParam(), {GetParam().unit_tests()});
    std::smatch passed;
    EXPECT_TRUE(
        std::regex_search(run.output, passed, std::regex(R"(\[  PASSED  \] ([0-9]+) tests?\.)")))
        << run.output;
    EXPECT_EQ(passed.size() == 2 ? std::stoi(passed[1]) : -1, host_tests);
    EXPECT_EQ(run.output.find("[  FAILED  ]"), std::string::npos) << run.output;
    EXPECT_EQ(run.exit_status, 0);
}

// The binary, its loader and its libusb 0.1.12 together: the library's bus
// scan fails and camera-probe says so. USB_DEVFS_PATH comes first, so the run
// is the same whatever this host has; its one bus is a file, not a folder.
// It is on tmpfs: ext4's 64-bit directory offsets overflow an armhf
// readdir() under qemu-user (EOVERFLOW), and the library would find no file
// system.
TEST_P(QemuUser, ProbeWhereTheBusCannotBeRead) {
    fs::path devfs = fs::path("/dev/shm") /
                     ("camera-probe-usbfs-" + GetParam().arch + "-" + std::to_string(::getpid()));
    fs::create_directories(devfs);
    std::ofstream(devfs / "001") << "";
    std::vector<std::string> environment = {"USB_DEVFS_PATH=" + devfs.string()};
    for (const std::string &entry : usb_emulator::current_environment()) {
        if (entry.rfind("USB_DEVFS_PATH=", 0) != 0) {
            environment.push_back(entry);
        }
    }
    usb_emulator::ProcessResult run =
        run_under_qemu_user(GetParam(), {GetParam().camera_probe()}, environment);
    fs::remove_all(devfs);
    // As libusb 0.1.12 on the usbfs testbed with a bus it cannot open.
    const registry::Result cell =
        registry::scenario("UnreadableBusDirectory").on(registry::Stack::usbfs_libusb012);
    EXPECT_EQ(run.output, registry::expected_output(cell));
    EXPECT_EQ(run.exit_status, registry::status_seen_by_a_shell(cell));
}

INSTANTIATE_TEST_SUITE_P(CrossBuilds, QemuUser, ::testing::ValuesIn(arm_builds()),
                         [](const ::testing::TestParamInfo<ArmBuild> &param) {
                             return param.param.arch;
                         });

std::string missing_piece() {
    for (const ArmBuild &build : arm_builds()) {
        if (std::string missing = build.missing(); !missing.empty()) {
            return missing;
        }
    }
    return "";
}

}  // namespace
}  // namespace arm_tests

int main(int argc, char **argv) {
    return camera_probe_tests::run_unless_missing(argc, argv, "arm", arm_tests::missing_piece());
}
