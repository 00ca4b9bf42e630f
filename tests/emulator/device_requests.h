// SPDX-License-Identifier: MIT
// Control transfers as a host sends them to an emulated device, for the
// tests of the device on its own (device_core_tests).
#ifndef CAMERA_PROBE_TESTS_EMULATOR_DEVICE_REQUESTS_H
#define CAMERA_PROBE_TESTS_EMULATOR_DEVICE_REQUESTS_H

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "camera.h"

namespace usb_emulator::device_tests {

// The sensor register camera-probe reads, writes and reads again.
constexpr std::uint16_t kRegister = 0x13;

inline ControlTransfer transfer(std::uint8_t request_type, std::uint8_t request,
                                std::uint16_t value, std::uint16_t index, std::uint16_t length) {
    return ControlTransfer{SetupPacket{request_type, request, value, index, length}, std::nullopt};
}

inline Answer send(UsbDevice &device, std::uint8_t request_type, std::uint8_t request,
                   std::uint16_t value, std::uint16_t index, std::uint16_t length = 0) {
    return device.control(transfer(request_type, request, value, index, length));
}

// The sensor's vendor requests, as camera-probe and the webcam driver send them.
inline Answer read_register(UsbDevice &device, std::uint16_t index = kRegister) {
    return send(device, 0xC0, kSensorReadRequest, 0, index, 1);
}

inline Answer write_register(UsbDevice &device, std::uint16_t value,
                             std::uint16_t index = kRegister) {
    return send(device, 0x40, kSensorWriteRequest, value, index, 0);
}

inline std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> values) {
    return values;
}

}  // namespace usb_emulator::device_tests

#endif
