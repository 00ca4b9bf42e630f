// SPDX-License-Identifier: MIT
// Starting programs for the emulator's transports and runners, collecting
// their output and exit status within a time limit, and the sockets they
// connect to.
#ifndef USB_EMULATOR_HOST_PROCESS_H
#define USB_EMULATOR_HOST_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace usb_emulator {

struct ProcessOptions {
    // Where the program's standard output goes: -1 captures it into
    // ProcessResult::output, any other descriptor is handed over as is.
    int stdout_fd = -1;
    // The program is killed when it runs longer than this.
    std::chrono::milliseconds time_limit{std::chrono::seconds(60)};
};

struct ProcessResult {
    // The exit status as a shell shows it; 128 + N after signal N (9 when
    // the time limit killed it).
    int exit_status = -1;
    // Why the program could not be started (errno of execve), or 0.
    int exec_error = 0;
    std::string output;
};

// Runs argv (argv[0] looked up in PATH) with exactly `environment`, its
// standard input and error inherited, and waits for it. Throws when the
// child cannot be watched; it is killed and reaped first.
ProcessResult run_process(const std::vector<std::string> &argv,
                          const std::vector<std::string> &environment,
                          const ProcessOptions &options = {});

// This process's own environment, as NAME=value entries.
std::vector<std::string> current_environment();

// `environment` with `dir` first in the loader's search path
// (LD_LIBRARY_PATH), ahead of whatever that named before.
std::vector<std::string> with_library_dir_first(const std::vector<std::string> &environment,
                                                const std::string &dir);

// The path execve needs: a bare command name is looked up in PATH.
std::string find_program(const std::string &name);

struct StartedProcess {
    pid_t pid = -1;
    int exit_fd = -1;  // a pidfd: readable once the process has exited
};

// Starts argv in the background with standard input from /dev/null and
// standard output and error into `output_fd`. Throws if it cannot start.
StartedProcess start_process(const std::vector<std::string> &argv, int output_fd);

// A stream socket listening at `path` (replacing a stale one), close-on-exec,
// for one peer such as QEMU to connect to.
int listen_on_unix_socket(const std::string &path);

// The exit status as a shell shows it, from a waitpid() status.
int shell_status(int wait_status);

}  // namespace usb_emulator

#endif
