// SPDX-License-Identifier: MIT
// The arm64 and armhf cross builds under qemu-user on this host, with each
// architecture's own Debian libraries as the target's root (-L): the unit
// tests, and camera-probe on this host, which has no USB file system.
// qemu-user exits 255 when it cannot even start the program (a wrong -L:
// "Could not open '/lib/ld-linux-aarch64.so.1'"), the status of a failed
// scan too, so every check reads what was printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "arm_builds.h"
#include "probe_expectations.h"
#include "process.h"

#ifndef HOST_UNIT_TESTS
#error "HOST_UNIT_TESTS must name this host's build of the unit tests"
#endif

namespace arm_tests {
namespace {

usb_emulator::ProcessResult run_under_qemu_user(const ArmBuild &build,
                                                const std::vector<std::string> &argv) {
    std::vector<std::string> command = {build.qemu_user, "-L", build.runtime()};
    command.insert(command.end(), argv.begin(), argv.end());
    return usb_emulator::run_process(command, usb_emulator::current_environment());
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

bool host_has_usb_filesystem() {
    return ::access("/dev/bus/usb", F_OK) == 0 || ::access("/proc/bus/usb", F_OK) == 0;
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
// finds no USB file system here and the scan fails as it should.
TEST_P(QemuUser, ProbeWithoutUsbFilesystem) {
    if (host_has_usb_filesystem()) {
        GTEST_SKIP() << "this host has a USB file system; the check needs one without";
    }
    usb_emulator::ProcessResult run = run_under_qemu_user(GetParam(), {GetParam().camera_probe()});
    EXPECT_EQ(run.output, expected::kNoBuses);
    EXPECT_EQ(run.exit_status, expected::kScanFailedStatus);
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
    return arm_tests::run_unless_missing(argc, argv, arm_tests::missing_piece());
}
