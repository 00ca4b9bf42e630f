// SPDX-License-Identifier: MIT
// The camera's bridge and sensor as the kernel's webcam driver reaches
// them, through the camera's control requests: the bridge's registers, the
// I2C slave it selects, the sensor's identity and reset, and a fault held
// back until the driver's probe is over.
#include <gtest/gtest.h>

#include <vector>

#include "camera.h"

namespace usb_emulator {
namespace {

constexpr std::uint16_t kRegister = 0x13;

Answer send(Camera &camera, std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
            std::uint16_t index, std::uint16_t length) {
    return camera.control(
        ControlTransfer{SetupPacket{request_type, request, value, index, length}, std::nullopt});
}

// The sensor's requests, as camera-probe and the driver both send them.
std::vector<std::uint8_t> sensor_read(Camera &camera, std::uint16_t index) {
    return send(camera, 0xC0, 3, 0, index, 1).data;
}
Outcome sensor_write(Camera &camera, std::uint16_t index, std::uint8_t value) {
    return send(camera, 0x40, 2, value, index, 0).outcome;
}
Outcome bridge_write(Camera &camera, std::uint16_t index, std::uint8_t value) {
    return send(camera, 0x40, 0x0a, value, index, 0).outcome;
}
std::vector<std::uint8_t> bridge_read(Camera &camera, std::uint16_t index) {
    return send(camera, 0xC0, 0x0b, 0, index, 1).data;
}

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> values) {
    return values;
}

TEST(CameraChips, SensorIdentifiesItselfAsTheDriverExpectsAndKeepsItsIdentity) {
    Camera camera(CameraConfig{0x33, {}});
    EXPECT_EQ(sensor_read(camera, 0x1c), bytes({0x7f}));  // manufacturer, high
    EXPECT_EQ(sensor_read(camera, 0x1d), bytes({0xa2}));  // manufacturer, low
    EXPECT_EQ(sensor_read(camera, 0x0a), bytes({0x96}));  // product
    EXPECT_EQ(sensor_read(camera, 0x0b), bytes({0x40}));  // version
    for (std::uint16_t identity : {0x0a, 0x0b, 0x1c, 0x1d}) {
        SCOPED_TRACE(identity);
        std::uint8_t before = camera.register_at(identity);
        EXPECT_EQ(sensor_write(camera, identity, 0x00), Outcome::data);  // taken, not kept
        EXPECT_EQ(camera.register_at(identity), before);
    }
}

TEST(CameraChips, ResetBitOfRegister0x12RestoresEveryPowerUpValue) {
    Camera camera(CameraConfig{0x9a, {}});
    sensor_write(camera, kRegister, 0x15);
    sensor_write(camera, 0x40, 0x01);
    sensor_write(camera, 0x12, 0x24);  // bit 7 clear: an ordinary value
    EXPECT_EQ(sensor_read(camera, 0x12), bytes({0x24}));
    EXPECT_EQ(sensor_read(camera, kRegister), bytes({0x15}));

    EXPECT_EQ(sensor_write(camera, 0x12, 0x80), Outcome::data);
    EXPECT_EQ(sensor_read(camera, kRegister), bytes({0x9a}));
    EXPECT_EQ(sensor_read(camera, 0x40), bytes({0x9a}));
    EXPECT_EQ(sensor_read(camera, 0x12), bytes({0x9a}));
    EXPECT_EQ(sensor_read(camera, 0x1c), bytes({0x7f}));
}

TEST(CameraChips, BridgeRegistersAreTheirOwnFileAndStartWithTheSensorSelected) {
    Camera camera(CameraConfig{0x07, {}});
    EXPECT_EQ(bridge_read(camera, 0x00), bytes({0x60}));
    EXPECT_EQ(bridge_read(camera, 0x0f), bytes({0x00}));
    EXPECT_EQ(bridge_write(camera, 0x0f, 0x1d), Outcome::data);
    EXPECT_EQ(bridge_write(camera, kRegister, 0x55), Outcome::data);
    EXPECT_EQ(bridge_read(camera, 0x0f), bytes({0x1d}));
    EXPECT_EQ(camera.bridge_register_at(kRegister), 0x55);
    EXPECT_EQ(camera.register_at(kRegister), 0x07);  // the sensor's is another register
    EXPECT_EQ(sensor_read(camera, kRegister), bytes({0x07}));
}

TEST(CameraChips, MisShapedBridgeRequestsStall) {
    Camera camera(CameraConfig{0x07, {}});
    EXPECT_EQ(send(camera, 0xC0, 0x0a, 0x42, 0x00, 1).outcome, Outcome::stall);  // write, IN
    EXPECT_EQ(send(camera, 0x40, 0x0a, 0x42, 0x00, 1).outcome, Outcome::stall);  // data stage
    EXPECT_EQ(send(camera, 0x40, 0x0b, 0x00, 0x00, 0).outcome, Outcome::stall);  // read, OUT
    EXPECT_EQ(send(camera, 0xC1, 0x0a, 0x42, 0x00, 0).outcome, Outcome::stall);  // interface
    EXPECT_EQ(camera.bridge_register_at(0x00), 0x60);
}

// The bridge knows its two requests and passes on the sensor's two; every
// other vendor request, in either direction, is stalled and changes no
// register, as the driver's probe relies on.
TEST(CameraChips, EveryOtherVendorRequestStallsAndChangesNothing) {
    Camera camera(CameraConfig{0x07, {}});
    for (int request = 0; request < 256; ++request) {
        if (request == 2 || request == 3 || request == 0x0a || request == 0x0b) {
            continue;
        }
        SCOPED_TRACE(request);
        auto code = static_cast<std::uint8_t>(request);
        EXPECT_EQ(send(camera, 0x40, code, 0x42, 0x00, 0).outcome, Outcome::stall);
        EXPECT_EQ(send(camera, 0x40, code, 0x42, kRegister, 0).outcome, Outcome::stall);
        EXPECT_EQ(send(camera, 0xC0, code, 0x00, 0x00, 1).outcome, Outcome::stall);
        EXPECT_EQ(send(camera, 0xC0, code, 0x00, kRegister, 1).outcome, Outcome::stall);
    }
    EXPECT_EQ(camera.bridge_register_at(0x00), 0x60);
    EXPECT_EQ(camera.bridge_register_at(kRegister), 0x00);
    EXPECT_EQ(camera.register_at(kRegister), 0x07);
}

TEST(CameraChips, AnotherSlaveReadsAllOnesAndDropsWrites) {
    Camera camera(CameraConfig{0x07, {}});
    for (std::uint8_t slave : {0x42, 0xc0, 0xa0}) {
        SCOPED_TRACE(static_cast<int>(slave));
        bridge_write(camera, 0x00, slave);
        EXPECT_EQ(sensor_read(camera, 0x1c), bytes({0xff}));
        EXPECT_EQ(sensor_read(camera, kRegister), bytes({0xff}));
        EXPECT_EQ(sensor_write(camera, kRegister, 0x15), Outcome::data);
        EXPECT_EQ(sensor_write(camera, 0x12, 0x80), Outcome::data);
    }
    EXPECT_EQ(camera.register_at(kRegister), 0x07);
    bridge_write(camera, 0x00, 0x60);
    EXPECT_EQ(sensor_read(camera, kRegister), bytes({0x07}));
}

// The driver's probe in short: the bridge's init table, a failed search at
// one other address, the sensor found and identified, reset, and the
// read-modify-write of register 0x13 that sets 0x27. A program run after it
// reads what that left.
TEST(CameraChips, DriverProbeLeavesRegister0x13AsItsInitialisationWroteIt) {
    for (std::uint8_t power_up : {0x00, 0x9a}) {
        SCOPED_TRACE(static_cast<int>(power_up));
        Camera camera(CameraConfig{power_up, {}});
        bridge_write(camera, 0x00, 0x60);
        bridge_write(camera, 0x0f, 0x1d);
        bridge_write(camera, 0x00, 0x42);
        sensor_write(camera, 0x12, 0x80);
        EXPECT_NE(sensor_read(camera, 0x1c), bytes({0x7f}));
        bridge_write(camera, 0x00, 0x60);
        sensor_write(camera, 0x12, 0x80);
        ASSERT_EQ(sensor_read(camera, 0x1c), bytes({0x7f}));
        ASSERT_EQ(sensor_read(camera, 0x1d), bytes({0xa2}));
        sensor_write(camera, 0x12, 0x80);
        std::vector<std::uint8_t> before = sensor_read(camera, kRegister);
        ASSERT_EQ(before.size(), 1U);
        sensor_write(camera, kRegister, static_cast<std::uint8_t>(before[0] | 0x27));

        EXPECT_EQ(sensor_read(camera, kRegister),
                  bytes({static_cast<std::uint8_t>(power_up | 0x27)}));
    }
}

TEST(CameraChips, FaultHeldBackHitsOnlyTheReadsAfterItIsArmed) {
    CameraConfig config{0x00, {FaultAction::stall, FaultTarget::first_read}};
    config.fault_armed = false;
    Camera camera(config);
    EXPECT_EQ(send(camera, 0xC0, 3, 0, kRegister, 1).outcome, Outcome::data);
    EXPECT_EQ(send(camera, 0xC0, 3, 0, 0x1c, 1).outcome, Outcome::data);

    camera.arm_fault();
    EXPECT_EQ(send(camera, 0xC0, 3, 0, kRegister, 1).outcome, Outcome::stall);
    EXPECT_EQ(sensor_write(camera, kRegister, 0x15), Outcome::data);
    EXPECT_EQ(sensor_read(camera, kRegister), bytes({0x15}));
}

}  // namespace
}  // namespace usb_emulator
