// SPDX-License-Identifier: MIT
// Running a program and collecting what it did: its output and status, and
// what happens when it cannot be watched to the end.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "process.h"

namespace usb_emulator {
namespace {

ProcessResult run_shell(const std::string &script, std::chrono::milliseconds limit) {
    ProcessOptions options;
    options.time_limit = limit;
    return run_process({"/bin/sh", "-c", script}, current_environment(), options);
}

TEST(RunProcess, CollectsOutputAndStatusAndKillsAProgramPastItsLimit) {
    ProcessResult done = run_shell("printf 'out'; exit 3", std::chrono::seconds(10));
    EXPECT_EQ(done.output, "out");
    EXPECT_EQ(done.exit_status, 3);

    auto started = std::chrono::steady_clock::now();
    ProcessResult late =
        run_shell("printf 'before'; exec sleep 30", std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(late.output, "before");
    EXPECT_EQ(late.exit_status, 128 + SIGKILL);
}

// poll() refuses more descriptors than the file limit allows: with the
// limit lowered while the child runs, the next poll fails. That must be
// an error, not a made-up exit status of 0, and the child must not be
// left running. A second process lowers the limit (prlimit), so that no
// thread of this one runs while it is low.
TEST(RunProcess, AFailingPollIsAnErrorNotAnExitStatus) {
#ifdef CAMERA_PROBE_SANITIZED
    // UBSan checks each virtual call by probing memory through a pipe,
    // which a file limit of 1 forbids: every check would fail.
    GTEST_SKIP() << "needs file descriptors that UBSan's own checks take";
#endif
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    pid_t tester = ::getpid();
    pid_t lowerer = ::fork();
    ASSERT_GE(lowerer, 0);
    if (lowerer == 0) {
        ::usleep(200 * 1000);
        rlimit one = original;
        one.rlim_cur = 1;
        ::_exit(::prlimit(tester, RLIMIT_NOFILE, &one, nullptr) == 0 ? 0 : 1);
    }
    std::string message;
    ProcessResult result;
    auto started = std::chrono::steady_clock::now();
    try {
        result = run_shell("sleep 0.5; echo late; exec sleep 30", std::chrono::seconds(60));
    } catch (const std::runtime_error &error) {
        message = error.what();
    }
    ::setrlimit(RLIMIT_NOFILE, &original);
    int lowered = -1;
    ::waitpid(lowerer, &lowered, 0);

    ASSERT_TRUE(WIFEXITED(lowered) && WEXITSTATUS(lowered) == 0) << "prlimit failed";
    EXPECT_EQ(message.rfind("poll: ", 0), 0u) << "exit status " << result.exit_status;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

}  // namespace
}  // namespace usb_emulator
