// SPDX-License-Identifier: MIT
// Running a program and collecting what it did: its output and status, and
// what happens when it cannot be watched to the end.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <iterator>
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

// What a child of this test reports of a run whose every poll() fails.
enum PollFailureReport { kThrewAndReaped, kNoFilter, kNoError, kOtherError, kChildLeft };

// Makes every poll() of this process and its children fail with ENOMEM.
bool make_poll_fail() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __NR_poll
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_poll, 2, 0),
#else
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ppoll, 2, 0),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ppoll, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOMEM & SECCOMP_RET_DATA)),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A poll that fails must be an error, not a made-up exit status of 0, and
// the program must not be left running. A child of the test, whose polls
// a seccomp filter makes fail, runs the program and reports.
TEST(RunProcess, AFailingPollIsAnErrorNotAnExitStatus) {
    pid_t tester = ::fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        if (!make_poll_fail()) {
            ::_exit(kNoFilter);
        }
        try {
            run_shell("echo started; exec sleep 30", std::chrono::seconds(60));
        } catch (const std::runtime_error &error) {
            if (std::string(error.what()).rfind("poll: ", 0) != 0) {
                ::_exit(kOtherError);
            }
            ::_exit(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD ? kThrewAndReaped
                                                                           : kChildLeft);
        }
        ::_exit(kNoError);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), kThrewAndReaped)
        << "1: no seccomp filter, 2: no error, 3: another error, 4: the program left running";
}

}  // namespace
}  // namespace usb_emulator
