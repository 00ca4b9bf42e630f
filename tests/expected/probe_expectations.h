// SPDX-License-Identifier: MIT
// Every byte sequence camera-probe is expected to print, built once from the
// tool's own constants, for every suite: unit, end-to-end, guest, Windows.
#ifndef CAMERA_PROBE_TESTS_EXPECTED_PROBE_EXPECTATIONS_H
#define CAMERA_PROBE_TESTS_EXPECTED_PROBE_EXPECTATIONS_H

#include <string>

namespace expected {

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

// Exit status after a failed scan as a parent reading 8 bits sees it.
constexpr int kScanFailedStatus = 255;

// The probe byte as a result line shows it: two lower-case hex digits.
std::string hex_byte(unsigned value);
// "\nusb_control_msg() returned <result> -> 0x<byte_hex>".
std::string result_line(int result, const std::string &byte_hex);
// Announcement and both result lines of a camera that answers both reads
// and takes the write.
std::string healthy_camera(const std::string &first_byte_hex);

// What the same text is on Windows, where standard output is in text mode
// and every line feed arrives as CR LF.
std::string windows_line_ends(const std::string &text);

}  // namespace expected

#endif
