// SPDX-License-Identifier: MIT
#include "camera_chips.h"

namespace usb_emulator {

namespace {

std::optional<std::uint8_t> identity_value(std::uint16_t index) {
    for (const CameraChips::IdentityRegister &identity : CameraChips::kSensorIdentity) {
        if (identity.index == index) {
            return identity.value;
        }
    }
    return std::nullopt;
}

}  // namespace

// A bridge request of the wrong shape (a write with a data stage, a read
// in the wrong direction) is stalled, as the camera stalls every request it
// does not know: the driver takes any failed transfer as the end of its
// probe, so a mis-shaped request shows up at once instead of reading as a
// value.
std::optional<Answer> CameraChips::bridge_request(const SetupPacket &setup) {
    if (!setup.is_vendor_to_device()) {
        return std::nullopt;
    }
    if (setup.bRequest == kBridgeWriteRequest) {
        if (setup.is_device_to_host() || setup.wLength != 0) {
            return Answer::stall();
        }
        written_bridge_[setup.wIndex] = static_cast<std::uint8_t>(setup.wValue & 0xFF);
        return Answer::with({});
    }
    if (setup.bRequest == kBridgeReadRequest) {
        if (!setup.is_device_to_host()) {
            return Answer::stall();
        }
        if (setup.wLength == 0) {
            return Answer::with({});
        }
        return Answer::with({bridge_register(setup.wIndex)});
    }
    return std::nullopt;
}

// The bridge powers up with the sensor selected; its other registers
// read 0x00 until written.
std::uint8_t CameraChips::bridge_register(std::uint16_t index) const {
    auto written = written_bridge_.find(index);
    if (written != written_bridge_.end()) {
        return written->second;
    }
    return index == kSlaveRegister ? kSensorSlave : 0x00;
}

std::uint8_t CameraChips::sensor_register(std::uint16_t index) const {
    if (std::optional<std::uint8_t> identity = identity_value(index)) {
        return *identity;
    }
    auto written = written_sensor_.find(index);
    return written != written_sensor_.end() ? written->second : sensor_default_;
}

std::uint8_t CameraChips::read_selected(std::uint16_t index) const {
    return sensor_selected() ? sensor_register(index) : kNoChipByte;
}

// No chip at another address takes the write.
void CameraChips::write_selected(std::uint16_t index, std::uint8_t value) {
    if (sensor_selected()) {
        write_sensor(index, value);
    }
}

// A reset puts every register back to its power-up value, the reset
// register too; the identity registers cannot be written.
void CameraChips::write_sensor(std::uint16_t index, std::uint8_t value) {
    if (index == kSensorResetRegister && (value & kSensorResetBit) != 0) {
        written_sensor_.clear();
        return;
    }
    if (identity_value(index)) {
        return;
    }
    written_sensor_[index] = value;
}

}  // namespace usb_emulator
