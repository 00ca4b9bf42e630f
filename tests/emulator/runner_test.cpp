// SPDX-License-Identifier: MIT
// emulated-camera as a user runs it, options, `--` and a command: the
// command's exit status handed back, the cameras as the options say; under
// --wine on a stand-in Wine stack (fake-wine) that starts or fails on cue.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "probe_expectations.h"
#include "process.h"
#include "scenarios.h"

namespace {

namespace fs = std::filesystem;
using usb_emulator::ProcessResult;

// The runner with `arguments`, its standard error in its output, and
// `environment` added to ours.
ProcessResult run_runner(const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment = {}) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                     EMULATED_CAMERA_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> full_environment = usb_emulator::current_environment();
    full_environment.insert(full_environment.end(), environment.begin(), environment.end());
    return usb_emulator::run_process(argv, full_environment);
}

ProcessResult run_shell_under_runner(const std::string &script) {
    return run_runner({"--", "/bin/sh", "-c", script});
}

// The command's status as a shell gives it: a signal as 128 + the signal,
// a command that cannot start as 127.
TEST(Runner, HandsBackTheCommandsExitStatusAsAShellWould) {
    for (int status : {0, 1, 3, 255}) {
        SCOPED_TRACE(status);
        EXPECT_EQ(run_shell_under_runner("exit " + std::to_string(status)).exit_status, status);
    }
    EXPECT_EQ(run_shell_under_runner("kill -KILL $$").exit_status, 128 + 9);
    ProcessResult missing = run_runner({"--", "/nonexistent/camera-probe"});
    EXPECT_EQ(missing.exit_status, 127);
    EXPECT_NE(missing.output.find("/nonexistent/camera-probe"), std::string::npos)
        << missing.output;
}

// Each row's camera as the options give it, `cameras` times: camera-probe
// prints the row's libusb 0.1.12 cell once a camera.
TEST(Runner, TheFaultAndRegisterOptionsReachEveryCamera) {
    const std::pair<const char *, int> rows[] = {{"RejectedWrite", 2}, {"StalledSecondRead", 1}};
    for (const auto &[name, cameras] : rows) {
        SCOPED_TRACE(name);
        const registry::Scenario row = registry::scenario(name);
        const registry::Camera &camera = row.cameras.at(0);
        ProcessResult run = run_runner({"--cameras", std::to_string(cameras), "--register",
                                        "0x" + expected::hex_byte(camera.register_value), "--fault",
                                        camera.fault, "--", CAMERA_PROBE_BINARY});
        std::string once = registry::expected_output(row.on(registry::Stack::usbfs_libusb012));
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, cameras == 2 ? once + once : once);
    }
}

// The webcam driver is the guest kernel's: without --vm the runner refuses.
TEST(Runner, TheDriverOptionNeedsTheGuest) {
    ProcessResult run = run_runner({"--driver", "--", "/bin/sh", "-c", "echo the-command-ran"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.output.find("--driver needs --vm"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("the-command-ran"), std::string::npos) << run.output;
}

// A Wine stack in a folder of its own: fake-wine as wine64 and wineserver,
// the other pieces the runner looks for empty files.
class StandInWineStack : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("camera-probe-fake-wine-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        for (const char *folder : {"wine/lib/wine", "prefix", "bin"}) {
            fs::create_directories(dir_ / folder);
        }
        for (const char *program : {"wine/lib/wine/wine64", "wine/lib/wine/wineserver"}) {
            fs::create_symlink(FAKE_WINE_BINARY, dir_ / program);
        }
        for (const char *piece :
             {"prefix/system.reg", "bin/libusb0.dll", "bin/await-cameras.exe"}) {
            std::ofstream(dir_ / piece) << "";
        }
    }
    void TearDown() override { fs::remove_all(dir_); }

    // `script` under --wine on this stack, await-cameras.exe exiting `await_status`.
    ProcessResult run_under_wine(int await_status, const std::string &script) {
        return run_runner({"--wine", "--", "/bin/sh", "-c", script},
                          {"CAMERA_PROBE_WINE_STACK=" + dir_.string(),
                           "FAKE_WINE_AWAIT_STATUS=" + std::to_string(await_status)});
    }

    fs::path dir_;
};

TEST_F(StandInWineStack, AFailedStartUpIsReportedAndTheCommandNeverRuns) {
    ProcessResult run = run_under_wine(3, "echo the command ran");
    EXPECT_NE(run.exit_status, 0);
    EXPECT_EQ(run.output.find("the command ran"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("emulated-camera: "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("await-cameras.exe exit status 3"), std::string::npos) << run.output;
}

TEST_F(StandInWineStack, OnceStartedTheCommandRunsInTheSessionAndItsStatusComesBack) {
    ProcessResult run = run_under_wine(0, "echo the command ran; exit 4");
    EXPECT_EQ(run.exit_status, 4);
    EXPECT_EQ(run.output,
              "fake wine: await-cameras.exe exits 0\n"
              "the command ran\n");
}

}  // namespace
