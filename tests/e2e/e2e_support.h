// SPDX-License-Identifier: MIT
// Running programs inside an emulated USB testbed and reading what they
// printed and what each device saw.
#ifndef CAMERA_PROBE_TESTS_E2E_SUPPORT_H
#define CAMERA_PROBE_TESTS_E2E_SUPPORT_H

#include <string>
#include <vector>

#include "expected_output.h"
#include "testbed_process.h"
#include "usbfs_testbed.h"

namespace e2e {

using usb_emulator::ControlTransfer;
using usb_emulator::DeviceRef;
using usb_emulator::UsbfsTestbed;

struct ProgramRun {
    usb_emulator::ProcessResult process;
    // Devices in the order their first control transfer reached them.
    std::vector<DeviceRef> transfer_order;
};

std::vector<std::string> camera_probe_command(const std::vector<std::string> &arguments = {});
ProgramRun run_program(UsbfsTestbed &testbed, const std::vector<std::string> &argv);

// Plugs a registry row's decoys, then its cameras, on `bus`; the cameras.
std::vector<DeviceRef> plug_on_bus(UsbfsTestbed &testbed, int bus, const registry::Scenario &row);
// Each of `cameras` saw `exchange`, and no device but them and `also_probed`
// saw any control transfer.
void expect_only_cameras_saw(const UsbfsTestbed &testbed, const std::vector<DeviceRef> &cameras,
                             const std::vector<std::string> &exchange,
                             const std::vector<DeviceRef> &also_probed = {});
// The transfers a device saw, each as its setup packet and, where the
// request carried one, its timeout.
std::vector<std::string> transfer_texts(const UsbfsTestbed &testbed, const DeviceRef &device);

}  // namespace e2e

#endif
