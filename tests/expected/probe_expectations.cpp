// SPDX-License-Identifier: MIT
#include "probe_expectations.h"

#include <cstdio>

namespace expected {

namespace {

// One setup packet in the emulated device's log format.
std::string setup_text(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                       std::uint16_t length) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "bmRequestType=0x%02x bRequest=%u wValue=0x%04x wIndex=0x%04x wLength=%u",
                  static_cast<unsigned>(request_type), static_cast<unsigned>(request),
                  static_cast<unsigned>(value), static_cast<unsigned>(kRegister),
                  static_cast<unsigned>(length));
    return text;
}

}  // namespace

std::string announcement_text() {
    char text[64];
    std::snprintf(text, sizeof text, "-----> Camara TROBADA!! idVendor %04X - idProduct %04X",
                  static_cast<unsigned>(kVendorId), static_cast<unsigned>(kProductId));
    return text;
}

std::string hex_byte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value & 0xFFu);
    return text;
}

std::string result_line(int result, const std::string &byte_hex) {
    return "\nusb_control_msg() returned " + std::to_string(result) + " -> 0x" + byte_hex;
}

std::string healthy_camera(const std::string &first_byte_hex) {
    return kAnnouncement + result_line(1, first_byte_hex) + result_line(1, hex_byte(kWrittenValue));
}

std::vector<std::string> exchange_transfer_texts(bool with_timeout) {
    std::string timeout = with_timeout ? " timeout=" + std::to_string(kTimeoutMs) : "";
    std::string read = setup_text(kReadRequestType, kReadRequest, 0x0000, 1) + timeout;
    std::string write = setup_text(kWriteRequestType, kWriteRequest, kWrittenValue, 0) + timeout;
    return {read, write, read};
}

std::string windows_line_ends(const std::string &text) {
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    return crlf;
}

}  // namespace expected
