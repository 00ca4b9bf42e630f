// SPDX-License-Identifier: MIT
// Runs a program inside a testbed: under umockdev's preload library, with
// the testbed's root passed in UMOCKDEV_DIR.
#ifndef USB_EMULATOR_USBFS_TESTBED_PROCESS_H
#define USB_EMULATOR_USBFS_TESTBED_PROCESS_H

#include <string>
#include <vector>

#include "process.h"

namespace usb_emulator {

ProcessResult run_in_testbed(const std::string &umockdev_dir, const std::vector<std::string> &argv,
                             const ProcessOptions &options = {});

// Path of umockdev's preload library, as found at build time.
const char *preload_library();

}  // namespace usb_emulator

#endif
