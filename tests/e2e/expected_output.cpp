// SPDX-License-Identifier: MIT
#include "expected_output.h"

namespace e2e {

const std::vector<std::string> kExchangeTransfers = {
    "bmRequestType=0xc0 bRequest=3 wValue=0x0000 wIndex=0x0013 wLength=1 timeout=5000",
    "bmRequestType=0x40 bRequest=2 wValue=0x0015 wIndex=0x0013 wLength=0 timeout=5000",
    "bmRequestType=0xc0 bRequest=3 wValue=0x0000 wIndex=0x0013 wLength=1 timeout=5000",
};

std::vector<std::string> exchange_setups(std::size_t count) {
    std::vector<std::string> setups;
    for (std::size_t i = 0; i < count && i < kExchangeTransfers.size(); ++i) {
        const std::string &text = kExchangeTransfers[i];
        setups.push_back(text.substr(0, text.find(" timeout=")));
    }
    return setups;
}

CameraConfig camera_config(std::uint8_t register_value, CameraFault fault) {
    CameraConfig config;
    config.register_value = register_value;
    config.fault = fault;
    return config;
}

CameraConfig camera_with(FaultAction action, FaultTarget target) {
    return camera_config(0x00, {action, target});
}

const char *libusb_name(Libusb libusb) {
    return libusb == Libusb::compat ? "libusb-compat-0.1" : "libusb 0.1.12";
}

std::vector<std::string> vendor_transfer_texts(const usb_emulator::UsbDevice &device) {
    std::vector<std::string> texts;
    for (const usb_emulator::ControlTransfer &transfer : device.transfers()) {
        if (!transfer.setup.is_standard()) {
            texts.push_back(usb_emulator::describe(transfer));
        }
    }
    return texts;
}

}  // namespace e2e
