// SPDX-License-Identifier: MIT
// The camera's contract as the tests hold it, written out here and taken
// from nothing in the tool's sources, so that a change to the tool's own
// constants shows as a failure instead of moving the expectations with it:
// the IDs, the requests, the register, the value written, the preset, the
// timeout and every message, byte for byte. Every suite builds what it
// expects from these and from result_line() alone.
#ifndef CAMERA_PROBE_TESTS_EXPECTED_PROBE_EXPECTATIONS_H
#define CAMERA_PROBE_TESTS_EXPECTED_PROBE_EXPECTATIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace expected {

// The camera the tool looks for.
constexpr std::uint16_t kVendorId = 0x05A9;
constexpr std::uint16_t kProductId = 0x2800;

// The register exchange: a one-byte vendor read, a vendor write of the
// value with no data stage, and the read again.
constexpr std::uint8_t kReadRequestType = 0xC0;
constexpr std::uint8_t kWriteRequestType = 0x40;
constexpr std::uint8_t kReadRequest = 3;
constexpr std::uint8_t kWriteRequest = 2;
constexpr std::uint16_t kRegister = 0x13;
constexpr std::uint8_t kWrittenValue = 0x15;
constexpr int kTimeoutMs = 5000;
// What the probe byte holds until a read delivers one.
constexpr std::uint8_t kProbeBytePreset = 0x20;

// The announcement of a camera, from the target IDs; no line feed.
std::string announcement_text();

// Inline, so that they are ready before any table of expectations built at
// start-up in a file that includes this header.
inline const std::string kAnnouncement = announcement_text();
// The two scan failures, and the line that replaces a camera's results when
// it cannot be opened.
inline const std::string kNoBuses = "No hi ha busos USB";
inline const std::string kNoDevices = "No hi ha dispositius connectats als busos";
inline const std::string kOpenFailed = "\nusb_open() failed";

constexpr int kScanFailedExit = -1;

// The probe byte as a result line shows it: two lower-case hex digits.
std::string hex_byte(unsigned value);
// "\nusb_control_msg() returned <result> -> 0x<byte_hex>".
std::string result_line(int result, const std::string &byte_hex);
// Announcement and both result lines of a camera that answers both reads
// and takes the write.
std::string healthy_camera(const std::string &first_byte_hex);

// The exchange's three setup packets as the emulated device logs them,
// with " timeout=5000" where the transport carries the timeout.
std::vector<std::string> exchange_transfer_texts(bool with_timeout);

// What the same text is on Windows, where standard output is in text mode
// and every line feed arrives as CR LF.
std::string windows_line_ends(const std::string &text);

}  // namespace expected

#endif
