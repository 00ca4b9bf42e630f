// SPDX-License-Identifier: MIT
#include "testbed_process.h"

#include <cstring>

#ifndef USB_EMULATOR_PRELOAD
#define USB_EMULATOR_PRELOAD "libumockdev-preload.so.0"
#endif

namespace usb_emulator {

namespace {

// The preload must come first; a preload the caller already has (say a
// sanitizer's) follows it.
std::vector<std::string> testbed_environment(const std::string &umockdev_dir) {
    std::vector<std::string> environment;
    std::string preload = std::string("LD_PRELOAD=") + preload_library();
    for (const std::string &entry : current_environment()) {
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

}  // namespace

const char *preload_library() {
    return USB_EMULATOR_PRELOAD;
}

ProcessResult run_in_testbed(const std::string &umockdev_dir, const std::vector<std::string> &argv,
                             const ProcessOptions &options) {
    return run_process(argv, testbed_environment(umockdev_dir), options);
}

}  // namespace usb_emulator
