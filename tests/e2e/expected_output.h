// SPDX-License-Identifier: MIT
// What camera-probe prints and sends, as the end-to-end suites expect it
// whichever transport carries the cameras.
#ifndef CAMERA_PROBE_TESTS_E2E_EXPECTED_OUTPUT_H
#define CAMERA_PROBE_TESTS_E2E_EXPECTED_OUTPUT_H

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
// The emulated camera a scenario registry row plugs.
CameraConfig config_of(const registry::Camera &camera);

// The two Linux implementations of the libusb 0.1 API the tool runs on:
// libusb 0.1.12 (Debian, Ubuntu) and libusb-compat-0.1 over libusb-1.0
// (Fedora, Arch, openSUSE, macOS).
enum class Libusb { original, compat };

// An expectation that may depend on the implementation: one value where
// both agree, a pair {libusb 0.1.12, libusb-compat} where they differ.
template <typename T>
struct ByLibusb {
    T original;
    T compat;

    // Implicit, so that a table cell holding one value reads as that value.
    ByLibusb(T both) : original(both), compat(both) {}
    ByLibusb(T on_original, T on_compat) : original(on_original), compat(on_compat) {}
    const T &on(Libusb libusb) const { return libusb == Libusb::compat ? compat : original; }
};

// The exchange's first `count` setup packets, without the timeout, where
// the transport does not carry it.
std::vector<std::string> exchange_setups(std::size_t count = 3);

// The class and vendor requests among a device's transfers, as text: what
// a program sent it beyond the kernel's enumeration.
std::vector<std::string> vendor_transfer_texts(const usb_emulator::UsbDevice &device);
std::vector<std::string> vendor_transfer_texts(
    const std::vector<usb_emulator::ControlTransfer> &log);

}  // namespace e2e

#endif
