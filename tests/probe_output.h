// SPDX-License-Identifier: MIT
#ifndef CAMERA_PROBE_TESTS_PROBE_OUTPUT_H
#define CAMERA_PROBE_TESTS_PROBE_OUTPUT_H

#include <string>

// What one run of the tool printed, byte for byte, and its exit status.
struct ProbeOutcome {
    int status;
    std::string output;
};

// Runs the same entry function as main() with standard output captured.
ProbeOutcome run_probe();

#endif
