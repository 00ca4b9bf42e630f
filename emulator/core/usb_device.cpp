// SPDX-License-Identifier: MIT
#include "usb_device.h"

#include <algorithm>
#include <cstdio>

namespace usb_emulator {

namespace {

// Standard requests (USB 2.0 chapter 9) the device answers itself.
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kSetInterface = 11;
constexpr std::uint8_t kDeviceDescriptorType = 1;
constexpr std::uint8_t kConfigurationDescriptorType = 2;
constexpr std::uint8_t kOnlyConfiguration = 1;

void put_le16(std::vector<std::uint8_t> &bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

DataEndpoint endpoint_for(std::uint8_t device_class) {
    if (device_class == UsbDevice::kHubClass) {
        return DataEndpoint{0x81, 0x03, 4, 12};
    }
    return DataEndpoint{};
}

// At most wLength bytes of `bytes`, as a device sends a short IN stage.
Answer in_stage(std::vector<std::uint8_t> bytes, std::uint16_t length) {
    bytes.resize(std::min<std::size_t>(bytes.size(), length));
    return Answer::with(std::move(bytes));
}

}  // namespace

SetupPacket SetupPacket::parse(const std::uint8_t *bytes) {
    SetupPacket setup;
    setup.bmRequestType = bytes[0];
    setup.bRequest = bytes[1];
    setup.wValue = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
    setup.wIndex = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
    setup.wLength = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
    return setup;
}

std::string describe(const ControlTransfer &transfer) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "bmRequestType=0x%02x bRequest=%u wValue=0x%04x wIndex=0x%04x wLength=%u",
                  transfer.setup.bmRequestType, transfer.setup.bRequest, transfer.setup.wValue,
                  transfer.setup.wIndex, transfer.setup.wLength);
    std::string line = text;
    if (transfer.timeout_ms) {
        line += " timeout=" + std::to_string(*transfer.timeout_ms);
    }
    return line;
}

UsbDevice::UsbDevice(std::uint16_t vendor, std::uint16_t product, std::uint8_t device_class)
    : vendor_(vendor),
      product_(product),
      device_class_(device_class),
      endpoint_(endpoint_for(device_class)) {}

std::uint8_t UsbDevice::interface_class() const {
    return device_class_ == kHubClass ? kHubClass : kVendorSpecificClass;
}

std::vector<std::uint8_t> UsbDevice::device_descriptor() const {
    std::vector<std::uint8_t> bytes = {18, kDeviceDescriptorType};
    put_le16(bytes, 0x0200);  // bcdUSB
    bytes.insert(bytes.end(), {device_class_, 0, 0, 64});
    put_le16(bytes, vendor_);
    put_le16(bytes, product_);
    put_le16(bytes, 0x0100);                  // bcdDevice
    bytes.insert(bytes.end(), {0, 0, 0, 1});  // no strings; one configuration
    return bytes;
}

std::vector<std::uint8_t> UsbDevice::configuration_descriptor() const {
    std::vector<std::uint8_t> bytes = {9, kConfigurationDescriptorType};
    put_le16(bytes, 9 + 9 + 7);  // wTotalLength: configuration, interface, endpoint
    bytes.insert(bytes.end(), {1, kOnlyConfiguration, 0, 0x80, 50});
    bytes.insert(bytes.end(), {9, 0x04, 0, 0, 1, interface_class(), 0, 0, 0});
    bytes.insert(bytes.end(), {7, 0x05, endpoint_.address, endpoint_.transfer_type});
    put_le16(bytes, endpoint_.max_packet_size);
    bytes.push_back(endpoint_.interval);
    return bytes;
}

std::vector<std::uint8_t> UsbDevice::descriptors() const {
    std::vector<std::uint8_t> bytes = device_descriptor();
    std::vector<std::uint8_t> configuration = configuration_descriptor();
    bytes.insert(bytes.end(), configuration.begin(), configuration.end());
    return bytes;
}

Answer UsbDevice::control(const ControlTransfer &transfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.push_back(transfer);
    if (unplugged_) {
        return Answer{Outcome::gone, {}};
    }
    Answer answer = transfer.setup.is_standard() ? standard_request(transfer.setup)
                                                 : vendor_request(transfer.setup);
    if (answer.outcome == Outcome::gone) {
        unplugged_ = true;
    }
    return answer;
}

Answer UsbDevice::data_transfer(std::uint8_t endpoint_address) {
    if (unplugged()) {
        return Answer{Outcome::gone, {}};
    }
    return has_endpoint(endpoint_address) ? Answer{Outcome::no_answer, {}} : Answer::stall();
}

bool UsbDevice::has_endpoint(std::uint8_t endpoint_address) const {
    return endpoint_address == endpoint_.address;
}

bool UsbDevice::set_configuration(std::uint8_t configuration) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (configuration != 0 && configuration != kOnlyConfiguration) {
        return false;
    }
    configuration_ = configuration;
    return true;
}

std::uint8_t UsbDevice::configuration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configuration_;
}

void UsbDevice::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    configuration_ = 0;
}

void UsbDevice::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
}

bool UsbDevice::unplugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged_;
}

std::vector<ControlTransfer> UsbDevice::transfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
}

Answer UsbDevice::vendor_request(const SetupPacket &) {
    return Answer::stall();
}

Answer UsbDevice::standard_request(const SetupPacket &setup) {
    switch (setup.bRequest) {
        case kGetDescriptor:
            if (setup.bmRequestType != 0x80) {
                break;
            }
            if (setup.wValue >> 8 == kDeviceDescriptorType) {
                return in_stage(device_descriptor(), setup.wLength);
            }
            if (setup.wValue == (kConfigurationDescriptorType << 8)) {
                return in_stage(configuration_descriptor(), setup.wLength);
            }
            break;
        case kGetStatus:
            if (setup.is_device_to_host()) {
                return in_stage({0, 0}, setup.wLength);
            }
            break;
        case kGetConfiguration:
            if (setup.bmRequestType == 0x80) {
                return in_stage({configuration_}, setup.wLength);
            }
            break;
        case kSetConfiguration:
            if (setup.bmRequestType == 0x00 && setup.wValue <= kOnlyConfiguration) {
                configuration_ = static_cast<std::uint8_t>(setup.wValue);
                return Answer::with({});
            }
            break;
        case kSetInterface:
            // Interface 0 has only alternate setting 0.
            if (setup.bmRequestType == 0x01 && setup.wIndex == 0 && setup.wValue == 0) {
                return Answer::with({});
            }
            break;
        default:
            break;
    }
    return Answer::stall();
}

}  // namespace usb_emulator
