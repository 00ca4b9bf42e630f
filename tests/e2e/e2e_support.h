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

// The libusb 0.1 the scenarios run on and expect: libusb 0.1.12, the
// system's, unless the suite was started over libusb-compat-0.1.
Libusb libusb_under_test();
void set_libusb_under_test(Libusb libusb);

// The exchange's first `count` transfers as the camera sees them. libusb
// 0.1.12 hands usbfs each one's 5000 ms timeout with the control ioctl;
// libusb-compat submits URBs, which carry none: libusb-1.0 keeps the
// timeout itself.
std::vector<std::string> exchange_transfers(std::size_t count = 3);

// The command line that runs the built camera-probe with `arguments`.
std::vector<std::string> camera_probe_command(const std::vector<std::string> &arguments = {});
ProgramRun run_program(UsbfsTestbed &testbed, const std::vector<std::string> &argv);
ProgramRun run_camera_probe(UsbfsTestbed &testbed, const std::vector<std::string> &arguments = {});
// What the raw usbfs client at `client` prints for `steps` on the node of
// one camera alone on its bus; a failing client fails the test.
std::string raw_client_output(const std::string &client, const CameraConfig &camera,
                              const std::vector<std::string> &steps);

// Devices that saw any control transfer, other than `expected`.
std::vector<std::string> unexpected_transfers(const UsbfsTestbed &testbed,
                                              const std::vector<DeviceRef> &expected);

// The transfers a device saw, each as its setup packet and, where the
// request carried one, its timeout.
std::vector<std::string> transfer_texts(const UsbfsTestbed &testbed, const DeviceRef &device);

}  // namespace e2e

#endif
