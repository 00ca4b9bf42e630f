// SPDX-License-Identifier: MIT
#include "probe_expectations.h"

#include <cstdio>

#include "camera_protocol.h"

namespace expected {

std::string announcement_text() {
    char text[64];
    std::snprintf(text, sizeof text, "-----> Camara TROBADA!! idVendor %04X - idProduct %04X",
                  static_cast<unsigned>(camera_probe::kTargetVendorId),
                  static_cast<unsigned>(camera_probe::kTargetProductId));
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
    return kAnnouncement + result_line(1, first_byte_hex) +
           result_line(1, hex_byte(camera_probe::kWrittenValue));
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
