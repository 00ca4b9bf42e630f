// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace usb_emulator {

namespace {

std::runtime_error system_error(const std::string &what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<char *> pointers_to(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (std::string &text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Through syscall(): glibc 2.36 declares pidfd_open without C linkage.
int open_pidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Milliseconds from now until `deadline`, for poll(); 0 once it has passed.
int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Ends a child that can no longer be watched, so that none is left behind.
void kill_and_reap(const StartedProcess &child) {
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
    ::close(child.exit_fd);
}

// Sleeps in poll() until the child exits or writes. Kills it once the time
// limit has passed, and stops reading then too when a descendant still
// holds the output open. A poll that fails is an error: the child is
// killed and reaped, and no exit status is made up for it.
void collect(const StartedProcess &child, int output_fd, std::chrono::milliseconds time_limit,
             ProcessResult &result) {
    auto deadline = std::chrono::steady_clock::now() + time_limit;
    int wait_status = 0;
    bool exited = false;
    bool killed_for_time = false;
    bool output_open = output_fd >= 0;
    while (!exited || output_open) {
        bool late = milliseconds_until(deadline) == 0;
        if (late && !exited && !killed_for_time) {
            ::kill(child.pid, SIGKILL);
            killed_for_time = true;
        }
        if (late && exited) {
            break;
        }
        pollfd watched[2];
        nfds_t count = 0;
        if (!exited) {
            watched[count++] = pollfd{child.exit_fd, POLLIN, 0};
        }
        if (output_open) {
            watched[count++] = pollfd{output_fd, POLLIN, 0};
        }
        int timeout = killed_for_time ? -1 : milliseconds_until(deadline);
        if (::poll(watched, count, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::runtime_error error = system_error("poll");
            if (exited) {
                ::close(child.exit_fd);
            } else {
                kill_and_reap(child);
            }
            throw error;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            if (watched[i].fd == child.exit_fd) {
                exited = ::waitpid(child.pid, &wait_status, 0) == child.pid;
                continue;
            }
            char chunk[4096];
            ssize_t got = ::read(output_fd, chunk, sizeof chunk);
            if (got > 0) {
                result.output.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                output_open = false;
            }
        }
    }
    ::close(child.exit_fd);
    result.exit_status = shell_status(wait_status);
}

// Forks and execs; between the two only async-signal-safe calls, as the
// caller may have threads (umockdev's worker, the usbredir bus).
// `exec_error` receives execve's errno when the program cannot start.
pid_t fork_and_exec(std::vector<std::string> argv, std::vector<std::string> environment,
                    int stdin_fd, int stdout_fd, int stderr_fd, int &exec_error) {
    argv[0] = find_program(argv[0]);
    std::vector<char *> argument_pointers = pointers_to(argv);
    std::vector<char *> environment_pointers = pointers_to(environment);
    // Closed by a successful exec; carries execve's errno otherwise.
    int exec_status[2] = {-1, -1};
    if (::pipe2(exec_status, O_CLOEXEC) != 0) {
        throw system_error("pipe");
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        throw system_error("fork");
    }
    if (pid == 0) {
        if ((stdin_fd >= 0 && ::dup2(stdin_fd, STDIN_FILENO) < 0) ||
            (stdout_fd >= 0 && ::dup2(stdout_fd, STDOUT_FILENO) < 0) ||
            (stderr_fd >= 0 && ::dup2(stderr_fd, STDERR_FILENO) < 0)) {
            ::_exit(127);
        }
        ::execve(argument_pointers[0], argument_pointers.data(), environment_pointers.data());
        int exec_errno = errno;
        ssize_t ignored = ::write(exec_status[1], &exec_errno, sizeof exec_errno);
        (void)ignored;
        ::_exit(127);
    }
    ::close(exec_status[1]);
    if (::read(exec_status[0], &exec_error, sizeof exec_error) <= 0) {
        exec_error = 0;
    }
    ::close(exec_status[0]);
    return pid;
}

StartedProcess watch(pid_t pid) {
    int exit_fd = open_pidfd(pid);
    if (exit_fd < 0) {
        std::runtime_error error = system_error("pidfd_open");
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        throw error;
    }
    return StartedProcess{pid, exit_fd};
}

}  // namespace

int shell_status(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
}

std::vector<std::string> current_environment() {
    std::vector<std::string> environment;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        environment.emplace_back(*variable);
    }
    return environment;
}

std::vector<std::string> with_library_dir_first(const std::vector<std::string> &environment,
                                                const std::string &dir) {
    const std::string name = "LD_LIBRARY_PATH=";
    std::vector<std::string> result;
    std::string path = name + dir;
    for (const std::string &entry : environment) {
        if (entry.rfind(name, 0) != 0) {
            result.push_back(entry);
        } else if (entry.size() > name.size()) {
            path += ":" + entry.substr(name.size());
        }
    }
    result.push_back(path);
    return result;
}

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

ProcessResult run_process(const std::vector<std::string> &argv,
                          const std::vector<std::string> &environment,
                          const ProcessOptions &options) {
    if (argv.empty()) {
        throw std::invalid_argument("run_process: no command");
    }
    int capture[2] = {-1, -1};
    if (options.stdout_fd < 0 && ::pipe2(capture, O_CLOEXEC) != 0) {
        throw system_error("pipe");
    }
    int child_stdout = options.stdout_fd < 0 ? capture[1] : options.stdout_fd;
    ProcessResult result;
    pid_t pid = fork_and_exec(argv, environment, -1, child_stdout, -1, result.exec_error);
    if (capture[1] >= 0) {
        ::close(capture[1]);
    }
    try {
        collect(watch(pid), capture[0], options.time_limit, result);
    } catch (...) {
        if (capture[0] >= 0) {
            ::close(capture[0]);
        }
        throw;
    }
    if (capture[0] >= 0) {
        ::close(capture[0]);
    }
    return result;
}

int listen_on_unix_socket(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw system_error("socket");
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        throw system_error("listen on " + path);
    }
    return fd;
}

StartedProcess start_process(const std::vector<std::string> &argv, int output_fd) {
    int no_input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (no_input < 0) {
        throw system_error("/dev/null");
    }
    int exec_error = 0;
    pid_t pid =
        fork_and_exec(argv, current_environment(), no_input, output_fd, output_fd, exec_error);
    ::close(no_input);
    StartedProcess started = watch(pid);
    if (exec_error != 0) {
        ::waitpid(pid, nullptr, 0);
        ::close(started.exit_fd);
        errno = exec_error;
        throw system_error("cannot run " + argv[0]);
    }
    return started;
}

}  // namespace usb_emulator
