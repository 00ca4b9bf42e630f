// SPDX-License-Identifier: MIT
// The arm64 and armhf cross builds under qemu-user on this host, with each
// architecture's own Debian libraries as the target's root (-L): the unit
// tests, and camera-probe on a USB file system of the test's own.
// qemu-user exits 255 when it cannot even start the program (a wrong -L:
// "Could not open '/lib/ld-linux-aarch64.so.1'"), the status of a failed
// scan too, so every check reads what was printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

// The names GoogleTest lists, one "Suite.Test" a line.
int listed_tests(const std::string &listing) {
    int count = 0;
    std::size_t start = 0;
    while (start < listing.size()) {
        std::size_t end = listing.find('\n', start);
        std::string line = listing.substr(start, end - start);
        if (!line.empty() && line[0] == ' ' && line.find_first_not_of(' ') == 2) {
            ++count;
        }
        start = end == std::string::npos ? listing.size() : end + 1;
    }
    return count;
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

// The binary, its loader and its libusb 0.1.12 work together: the library
// scans the buses and fails, and camera-probe says so. libusb 0.1.12 takes
// the USB file system from USB_DEVFS_PATH before /dev/bus/usb and
// /proc/bus/usb, so the run is the same whatever this host has; the one bus
// there is a file, where the library looks for a folder of device nodes.
// It is on tmpfs, as a USB file system is: on ext4 a folder's read offsets
// are 64-bit hashes, which an armhf program's readdir() under qemu-user
// cannot hold (EOVERFLOW), so the library would find no file system.
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
    // What the usbfs testbed's libusb 0.1.12 prints with a bus directory it
    // cannot open.
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
