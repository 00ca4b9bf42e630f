// SPDX-License-Identifier: MIT
#include "testbed_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char **environ;

#ifndef USB_EMULATOR_PRELOAD
#define USB_EMULATOR_PRELOAD "libumockdev-preload.so.0"
#endif

namespace usb_emulator {

namespace {

// The preload must come first; a preload the caller already has (say a
// sanitizer's) follows it.
std::vector<std::string> child_environment(const std::string &umockdev_dir) {
    std::vector<std::string> environment;
    std::string preload = std::string("LD_PRELOAD=") + preload_library();
    for (char **variable = environ; *variable != nullptr; ++variable) {
        std::string entry = *variable;
        if (entry.rfind("LD_PRELOAD=", 0) == 0) {
            preload += ":" + entry.substr(std::strlen("LD_PRELOAD="));
        } else if (entry.rfind("UMOCKDEV_DIR=", 0) != 0 && entry.rfind("USB_DEVFS_PATH=", 0) != 0) {
            // USB_DEVFS_PATH would point libusb 0.1 past the testbed.
            environment.push_back(entry);
        }
    }
    environment.push_back(preload);
    environment.push_back("UMOCKDEV_DIR=" + umockdev_dir);
    return environment;
}

std::vector<char *> pointers_to(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (std::string &text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

int shell_status(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
}

// execve takes a path: a bare command name is looked up in PATH.
std::string find_program(const std::string &name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char *path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        std::string directory = directories.substr(start, end - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return name;
}

// Milliseconds from now until `deadline`, for poll(); 0 once it has passed.
int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Sleeps in poll() until the child exits or writes: its pidfd becomes
// readable when it exits. Kills it once the time limit has passed, and
// stops reading then too when a descendant still holds the output open.
void collect(pid_t pid, int output_fd, std::chrono::milliseconds time_limit,
             ProcessResult &result) {
    // Through syscall(): glibc 2.36 declares pidfd_open without C linkage.
    int exit_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (exit_fd < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        throw std::runtime_error(std::string("pidfd_open: ") + std::strerror(errno));
    }
    auto deadline = std::chrono::steady_clock::now() + time_limit;
    int wait_status = 0;
    bool exited = false;
    bool output_open = output_fd >= 0;
    while (!exited || output_open) {
        bool late = milliseconds_until(deadline) == 0;
        if (late && !exited && !result.killed_for_time) {
            ::kill(pid, SIGKILL);
            result.killed_for_time = true;
        }
        if (late && exited) {
            break;
        }
        pollfd watched[2];
        nfds_t count = 0;
        if (!exited) {
            watched[count++] = pollfd{exit_fd, POLLIN, 0};
        }
        if (output_open) {
            watched[count++] = pollfd{output_fd, POLLIN, 0};
        }
        int timeout = result.killed_for_time ? -1 : milliseconds_until(deadline);
        if (::poll(watched, count, timeout) < 0 && errno != EINTR) {
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            if (watched[i].fd == exit_fd) {
                exited = ::waitpid(pid, &wait_status, 0) == pid;
            } else {
                char chunk[4096];
                ssize_t got = ::read(output_fd, chunk, sizeof chunk);
                if (got > 0) {
                    result.output.append(chunk, static_cast<std::size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    output_open = false;
                }
            }
        }
    }
    ::close(exit_fd);
    result.exit_status = shell_status(wait_status);
}

}  // namespace

const char *preload_library() {
    return USB_EMULATOR_PRELOAD;
}

ProcessResult run_in_testbed(const std::string &umockdev_dir, const std::vector<std::string> &argv,
                             const ProcessOptions &options) {
    if (argv.empty()) {
        throw std::invalid_argument("run_in_testbed: no command");
    }
    std::vector<std::string> arguments = argv;
    arguments[0] = find_program(arguments[0]);
    std::vector<std::string> environment = child_environment(umockdev_dir);
    std::vector<char *> argument_pointers = pointers_to(arguments);
    std::vector<char *> environment_pointers = pointers_to(environment);

    int capture[2] = {-1, -1};
    if (options.stdout_fd < 0 && ::pipe2(capture, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    int child_stdout = options.stdout_fd < 0 ? capture[1] : options.stdout_fd;
    // Closed by a successful exec; carries execve's errno otherwise.
    int exec_status[2] = {-1, -1};
    if (::pipe2(exec_status, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }

    // This process has umockdev's worker thread: between fork and exec only
    // async-signal-safe calls.
    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        if (::dup2(child_stdout, STDOUT_FILENO) < 0) {
            ::_exit(127);
        }
        ::execve(argument_pointers[0], argument_pointers.data(), environment_pointers.data());
        int exec_errno = errno;
        ssize_t ignored = ::write(exec_status[1], &exec_errno, sizeof exec_errno);
        (void)ignored;
        ::_exit(127);
    }
    if (capture[1] >= 0) {
        ::close(capture[1]);
    }
    ::close(exec_status[1]);
    ProcessResult result;
    if (::read(exec_status[0], &result.exec_error, sizeof result.exec_error) <= 0) {
        result.exec_error = 0;
    }
    ::close(exec_status[0]);

    collect(pid, capture[0], options.time_limit, result);
    if (capture[0] >= 0) {
        ::close(capture[0]);
    }
    return result;
}

}  // namespace usb_emulator
