// SPDX-License-Identifier: MIT
// The camera and its vendor requests, as plain numbers, apart from the
// libusb header. The tests and the emulated camera spell them on their own,
// so that a wrong number here fails the tests instead of moving them along.
#ifndef CAMERA_PROBE_CAMERA_PROTOCOL_H
#define CAMERA_PROBE_CAMERA_PROTOCOL_H

#include <cstdint>

namespace camera_probe {

constexpr std::uint16_t kTargetVendorId = 0x05A9;
constexpr std::uint16_t kTargetProductId = 0x2800;

// Vendor register exchange: read the register, write a value, read it back.
constexpr int kRegisterIndex = 0x13;
constexpr int kWrittenValue = 0x15;
constexpr int kVendorReadRequest = 3;
constexpr int kVendorWriteRequest = 2;
constexpr int kTransferTimeoutMs = 5000;

// Until a read delivers a byte, the result lines show a space.
constexpr unsigned char kProbeBytePreset = 0x20;

}  // namespace camera_probe

#endif
