// SPDX-License-Identifier: MIT
// The two chips inside the camera, as its kernel webcam driver reaches
// them: a USB bridge with a register file of its own, and an image sensor
// on the bridge's I2C bus. The bridge passes the camera's one-byte vendor
// reads and writes on to the I2C slave its register 0x00 selects; the
// sensor answers at its own slave address, and nothing else is on the bus.
#ifndef USB_EMULATOR_CORE_CAMERA_CHIPS_H
#define USB_EMULATOR_CORE_CAMERA_CHIPS_H

#include <cstdint>
#include <map>
#include <optional>

#include "usb_device.h"

namespace usb_emulator {

class CameraChips {
  public:
    // The bridge's own requests: a write carries the value in wValue and
    // has no data stage, a read answers one byte; wIndex names the register.
    static constexpr std::uint8_t kBridgeWriteRequest = 0x0a;
    static constexpr std::uint8_t kBridgeReadRequest = 0x0b;
    // The bridge register that holds the I2C slave address of the sensor
    // reads and writes.
    static constexpr std::uint16_t kSlaveRegister = 0x00;
    static constexpr std::uint8_t kSensorSlave = 0x60;
    // What a read from an address where no chip answers gives: the bus's
    // pulled-up lines.
    static constexpr std::uint8_t kNoChipByte = 0xFF;
    // A write to this sensor register with this bit set resets the sensor.
    static constexpr std::uint16_t kSensorResetRegister = 0x12;
    static constexpr std::uint8_t kSensorResetBit = 0x80;

    // The sensor's identity registers, fixed in the chip: manufacturer
    // OmniVision (0x7f 0xa2) and product 0x9640, a 2-megapixel sensor.
    struct IdentityRegister {
        std::uint16_t index;
        std::uint8_t value;
    };
    static constexpr IdentityRegister kSensorIdentity[] = {
        {0x0a, 0x96},
        {0x0b, 0x40},
        {0x1c, 0x7f},
        {0x1d, 0xa2},
    };

    // Every other sensor register holds `sensor_default` after power-up
    // and after a reset.
    explicit CameraChips(std::uint8_t sensor_default) : sensor_default_(sensor_default) {}

    // The answer to a bridge request, or nothing when `setup` is not one.
    std::optional<Answer> bridge_request(const SetupPacket &setup);

    // A vendor read or write reaches the slave the bridge has selected.
    std::uint8_t read_selected(std::uint16_t index) const;
    void write_selected(std::uint16_t index, std::uint8_t value);

    // The sensor's register, whichever slave is selected.
    std::uint8_t sensor_register(std::uint16_t index) const;
    std::uint8_t bridge_register(std::uint16_t index) const;

  private:
    bool sensor_selected() const { return bridge_register(kSlaveRegister) == kSensorSlave; }
    void write_sensor(std::uint16_t index, std::uint8_t value);

    const std::uint8_t sensor_default_;
    std::map<std::uint16_t, std::uint8_t> written_sensor_;
    std::map<std::uint16_t, std::uint8_t> written_bridge_;
};

}  // namespace usb_emulator

#endif
