// SPDX-License-Identifier: MIT
#include "expected_output.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace e2e {

std::vector<std::string> exchange_setups(std::size_t count, bool with_timeout) {
    std::vector<std::string> setups = expected::exchange_transfer_texts(with_timeout);
    setups.resize(std::min(count, setups.size()));
    return setups;
}

CameraConfig camera_config(std::uint8_t register_value, CameraFault fault) {
    CameraConfig config;
    config.register_value = register_value;
    config.fault = fault;
    config.vendor_id = kVendorId;
    config.product_id = kProductId;
    return config;
}

CameraConfig camera_with(FaultAction action, FaultTarget target) {
    return camera_config(0x00, {action, target});
}

CameraConfig config_of(const registry::Camera &camera) {
    CameraConfig config = camera_config(camera.register_value);
    std::optional<CameraFault> fault = usb_emulator::fault_named(camera.fault);
    std::optional<usb_emulator::DescriptorLie> lie = usb_emulator::descriptor_lie_named(camera.lie);
    if (!fault || !lie) {
        throw std::invalid_argument("no emulated camera has the fault " + camera.fault +
                                    " or the lie " + camera.lie);
    }
    config.fault = *fault;
    config.descriptor_lie = *lie;
    return config;
}

std::vector<std::string> vendor_transfer_texts(const usb_emulator::UsbDevice &device) {
    return vendor_transfer_texts(device.transfers());
}

std::vector<std::string> vendor_transfer_texts(
    const std::vector<usb_emulator::ControlTransfer> &log) {
    std::vector<std::string> texts;
    for (const usb_emulator::ControlTransfer &transfer : log) {
        if (!transfer.setup.is_standard()) {
            texts.push_back(usb_emulator::describe(transfer));
        }
    }
    return texts;
}

}  // namespace e2e
