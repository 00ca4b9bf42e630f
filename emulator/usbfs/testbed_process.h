// SPDX-License-Identifier: MIT
// Runs a program inside a testbed: under umockdev's preload library, with
// the testbed's root passed in UMOCKDEV_DIR.
#ifndef USB_EMULATOR_TESTBED_PROCESS_H
#define USB_EMULATOR_TESTBED_PROCESS_H

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
    // The exit status as a shell shows it; 128 + N after signal N.
    int exit_status = -1;
    bool killed_for_time = false;
    // Why the program could not be started (errno of execve), or 0.
    int exec_error = 0;
    std::string output;
};

ProcessResult run_in_testbed(const std::string &umockdev_dir, const std::vector<std::string> &argv,
                             const ProcessOptions &options = {});

// Path of umockdev's preload library, as found at build time.
const char *preload_library();

}  // namespace usb_emulator

#endif
