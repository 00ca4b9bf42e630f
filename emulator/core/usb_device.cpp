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
constexpr std::uint8_t kInterfaceDescriptorType = 4;
constexpr std::uint8_t kEndpointDescriptorType = 5;

// Configuration, interface and endpoint descriptor.
constexpr std::uint16_t kConfigurationLength = 9 + 9 + 7;
// What the short answer keeps: configuration and interface, no endpoint.
constexpr std::size_t kShortAnswerLength = 9 + 9;
// Linux keeps at most eight configurations; the lie has one more.
constexpr std::uint8_t kManyConfigurations = 9;

struct LieName {
    DescriptorLie lie;
    const char *name;
};

constexpr LieName kLieNames[] = {
    {DescriptorLie::none, "none"},
    {DescriptorLie::total_length_short, "total-length-short"},
    {DescriptorLie::total_length_long, "total-length-long"},
    {DescriptorLie::total_length_tiny, "total-length-tiny"},
    {DescriptorLie::no_configurations, "no-configurations"},
    {DescriptorLie::many_configurations, "many-configurations"},
    {DescriptorLie::missing_configuration, "missing-configuration"},
    {DescriptorLie::endpoint_length_zero, "endpoint-length-zero"},
    {DescriptorLie::short_configuration_answer, "short-configuration-answer"},
};

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

// The wTotalLength the configuration descriptor gives.
std::uint16_t claimed_total_length(DescriptorLie lie) {
    switch (lie) {
        case DescriptorLie::total_length_short:
            return kConfigurationLength - 1;
        case DescriptorLie::total_length_long:
            return 64;
        case DescriptorLie::total_length_tiny:
            return 4;
        default:
            return kConfigurationLength;
    }
}

}  // namespace

std::optional<DescriptorLie> descriptor_lie_named(const std::string &name) {
    for (const LieName &entry : kLieNames) {
        if (name == entry.name) {
            return entry.lie;
        }
    }
    return std::nullopt;
}

std::string describe(DescriptorLie lie) {
    for (const LieName &entry : kLieNames) {
        if (lie == entry.lie) {
            return entry.name;
        }
    }
    return "unknown lie";
}

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

UsbDevice::UsbDevice(std::uint16_t vendor, std::uint16_t product, std::uint8_t device_class,
                     DescriptorLie lie)
    : vendor_(vendor),
      product_(product),
      device_class_(device_class),
      endpoint_(endpoint_for(device_class)),
      lie_(lie) {}

std::uint8_t UsbDevice::interface_class() const {
    return device_class_ == kHubClass ? kHubClass : kVendorSpecificClass;
}

std::vector<std::uint8_t> UsbDevice::device_descriptor() const {
    std::vector<std::uint8_t> bytes = {18, kDeviceDescriptorType};
    put_le16(bytes, 0x0200);  // bcdUSB
    bytes.insert(bytes.end(), {device_class_, 0, 0, 64});
    put_le16(bytes, vendor_);
    put_le16(bytes, product_);
    put_le16(bytes, 0x0100);               // bcdDevice
    bytes.insert(bytes.end(), {0, 0, 0});  // no strings
    // bNumConfigurations: one more than there are, where that is the lie.
    bool claims_one_more = lie_ == DescriptorLie::missing_configuration;
    bytes.push_back(static_cast<std::uint8_t>(configuration_count() + (claims_one_more ? 1 : 0)));
    return bytes;
}

std::uint8_t UsbDevice::configuration_count() const {
    switch (lie_) {
        case DescriptorLie::no_configurations:
            return 0;
        case DescriptorLie::many_configurations:
            return kManyConfigurations;
        default:
            return 1;
    }
}

std::vector<std::uint8_t> UsbDevice::configuration_descriptor(std::uint8_t index) const {
    std::vector<std::uint8_t> bytes = {9, kConfigurationDescriptorType};
    put_le16(bytes, claimed_total_length(lie_));
    auto value = static_cast<std::uint8_t>(index + 1);
    bytes.insert(bytes.end(), {1, value, 0, 0x80, 50});  // one interface, bus-powered, 100 mA
    bytes.insert(bytes.end(), {9, kInterfaceDescriptorType, 0, 0, 1, interface_class(), 0, 0, 0});
    std::uint8_t endpoint_length = lie_ == DescriptorLie::endpoint_length_zero ? 0 : 7;
    bytes.insert(bytes.end(), {endpoint_length, kEndpointDescriptorType, endpoint_.address,
                               endpoint_.transfer_type});
    put_le16(bytes, endpoint_.max_packet_size);
    bytes.push_back(endpoint_.interval);
    return bytes;
}

std::vector<std::uint8_t> UsbDevice::descriptors() const {
    std::vector<std::uint8_t> bytes = device_descriptor();
    for (std::uint8_t index = 0; index < configuration_count(); ++index) {
        std::vector<std::uint8_t> configuration = configuration_descriptor(index);
        bytes.insert(bytes.end(), configuration.begin(), configuration.end());
    }
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
    if (configuration > configuration_count()) {
        return false;
    }
    configuration_ = configuration;
    return true;
}

std::uint8_t UsbDevice::configuration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configuration_;
}

bool UsbDevice::set_interface(std::uint8_t interface, std::uint8_t alternate) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return has_setting(interface, alternate);
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

// A device in the Address state (unconfigured) has no interfaces yet.
bool UsbDevice::has_setting(std::uint16_t interface, std::uint16_t alternate) const {
    return configuration_ != 0 && interface == 0 && alternate == 0;
}

// A configuration the device does not have is stalled, as a device does.
Answer UsbDevice::configuration_answer(std::uint8_t index, std::uint16_t length) const {
    if (index >= configuration_count()) {
        return Answer::stall();
    }
    std::vector<std::uint8_t> bytes = configuration_descriptor(index);
    if (lie_ == DescriptorLie::short_configuration_answer) {
        bytes.resize(kShortAnswerLength);
    }
    return in_stage(std::move(bytes), length);
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
            if (setup.wValue >> 8 == kConfigurationDescriptorType) {
                return configuration_answer(static_cast<std::uint8_t>(setup.wValue & 0xFF),
                                            setup.wLength);
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
            if (setup.bmRequestType == 0x00 && setup.wValue <= configuration_count()) {
                configuration_ = static_cast<std::uint8_t>(setup.wValue);
                return Answer::with({});
            }
            break;
        case kSetInterface:
            if (setup.bmRequestType == 0x01 && setup.wLength == 0 &&
                has_setting(setup.wIndex, setup.wValue)) {
                return Answer::with({});
            }
            break;
        default:
            break;
    }
    return Answer::stall();
}

}  // namespace usb_emulator
