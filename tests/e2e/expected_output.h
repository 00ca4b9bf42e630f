// SPDX-License-Identifier: MIT
// What camera-probe prints and sends, as the end-to-end suites expect it
// whichever transport carries the cameras.
#ifndef CAMERA_PROBE_TESTS_E2E_EXPECTED_OUTPUT_H
#define CAMERA_PROBE_TESTS_E2E_EXPECTED_OUTPUT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "camera.h"
#include "probe_expectations.h"
#include "scenarios.h"

namespace e2e {

using expected::kProductId;
using expected::kVendorId;
using usb_emulator::CameraConfig;
using usb_emulator::CameraFault;
using usb_emulator::FaultAction;
using usb_emulator::FaultTarget;

// A camera with the contract's IDs, its registers holding `register_value`.
CameraConfig camera_config(std::uint8_t register_value, CameraFault fault = {});
// A camera whose registers hold 0x00 and that has `action` at `target`.
CameraConfig camera_with(FaultAction action, FaultTarget target);

CameraConfig config_of(const registry::Camera &camera);

// The exchange's first `count` setup packets, each with its timeout where
// the transport carries it.
std::vector<std::string> exchange_setups(std::size_t count = 3, bool with_timeout = false);

// The class and vendor requests among a device's transfers, as text: what
// a program sent it beyond the kernel's enumeration.
std::vector<std::string> vendor_transfer_texts(const usb_emulator::UsbDevice &device);
std::vector<std::string> vendor_transfer_texts(
    const std::vector<usb_emulator::ControlTransfer> &log);

// A parameterised test's name: its parameter's.
struct NameOfRun {
    template <typename Run>
    std::string operator()(const ::testing::TestParamInfo<Run> &info) const {
        return info.param.name;
    }
};

}  // namespace e2e

#endif
