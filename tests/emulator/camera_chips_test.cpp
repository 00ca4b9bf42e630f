// SPDX-License-Identifier: MIT
// The camera's bridge and sensor as the kernel's webcam driver reaches
// them, through the camera's control requests: the bridge's registers, the
// I2C slave it selects, the sensor's identity and reset, and a fault held
// back until the driver's probe is over.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "device_requests.h"

namespace usb_emulator::device_tests {
namespace {

// The bridge's own requests.
Outcome bridge_write(Camera &camera, std::uint16_t index, std::uint8_t value) {
    return send(camera, 0x40, 0x0a, value, index).outcome;
}
std::vector<std::uint8_t> bridge_read(Camera &camera, std::uint16_t index) {
    return send(camera, 0xC0, 0x0b, 0, index, 1).data;
}

TEST(CameraChips, SensorIdentifiesItselfAsTheDriverExpectsAndKeepsItsIdentity) {
    Camera camera(CameraConfig{0x33, {}});
    // Manufacturer (high, low), product, version: writes taken, not kept.
    const std::pair<std::uint16_t, std::uint8_t> identity[] = {
        {0x1c, 0x7f}, {0x1d, 0xa2}, {0x0a, 0x96}, {0x0b, 0x40}};
    for (const auto &[index, value] : identity) {
        SCOPED_TRACE(index);
        EXPECT_EQ(read_register(camera, index).data, bytes({value}));
        EXPECT_EQ(write_register(camera, 0x00, index).outcome, Outcome::data);
        EXPECT_EQ(camera.register_at(index), value);
    }
}

TEST(CameraChips, ResetBitOfRegister0x12RestoresEveryPowerUpValue) {
    Camera camera(CameraConfig{0x9a, {}});
    write_register(camera, 0x15);
    write_register(camera, 0x01, 0x40);
    write_register(camera, 0x24, 0x12);  // bit 7 clear: an ordinary value
    EXPECT_EQ(read_register(camera, 0x12).data, bytes({0x24}));
    EXPECT_EQ(read_register(camera).data, bytes({0x15}));

    EXPECT_EQ(write_register(camera, 0x80, 0x12).outcome, Outcome::data);
    EXPECT_EQ(read_register(camera).data, bytes({0x9a}));
    EXPECT_EQ(read_register(camera, 0x40).data, bytes({0x9a}));
    EXPECT_EQ(read_register(camera, 0x12).data, bytes({0x9a}));
    EXPECT_EQ(read_register(camera, 0x1c).data, bytes({0x7f}));
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
    EXPECT_EQ(read_register(camera).data, bytes({0x07}));
}

// The bridge knows its two requests and passes on the sensor's two; any
// other vendor request, or one of those in the wrong shape, is stalled and
// changes no register, as the driver's probe relies on.
TEST(CameraChips, EveryOtherVendorRequestStallsAndChangesNothing) {
    Camera camera(CameraConfig{0x07, {}});
    const ControlTransfer misshapen[] = {
        transfer(0xC0, 0x0a, 0x42, 0, 1),       // the bridge's write, IN
        transfer(0x40, 0x0a, 0x42, 0, 1),       // the bridge's write with a data stage
        transfer(0x40, 0x0b, 0, 0, 0),          // the bridge's read, OUT
        transfer(0xC1, 0x0a, 0x42, 0, 0),       // to the interface
        transfer(0xC1, 3, 0, kRegister, 1),     // the sensor's read to the interface
        transfer(0xA0, 3, 0, kRegister, 1),     // a class request
        transfer(0x40, 3, 0x15, kRegister, 0),  // the sensor's read, OUT
        transfer(0xC0, 2, 0, kRegister, 1),     // the sensor's write, IN
        transfer(0x40, 2, 0x15, kRegister, 1),  // the sensor's write with a data stage
    };
    for (const ControlTransfer &request : misshapen) {
        EXPECT_EQ(camera.control(request).outcome, Outcome::stall) << describe(request);
    }
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
        EXPECT_EQ(read_register(camera, 0x1c).data, bytes({0xff}));
        EXPECT_EQ(read_register(camera).data, bytes({0xff}));
        EXPECT_EQ(write_register(camera, 0x15).outcome, Outcome::data);
        EXPECT_EQ(write_register(camera, 0x80, 0x12).outcome, Outcome::data);
    }
    EXPECT_EQ(camera.register_at(kRegister), 0x07);
    bridge_write(camera, 0x00, 0x60);
    EXPECT_EQ(read_register(camera).data, bytes({0x07}));
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
        write_register(camera, 0x80, 0x12);
        EXPECT_NE(read_register(camera, 0x1c).data, bytes({0x7f}));
        bridge_write(camera, 0x00, 0x60);
        write_register(camera, 0x80, 0x12);
        ASSERT_EQ(read_register(camera, 0x1c).data, bytes({0x7f}));
        ASSERT_EQ(read_register(camera, 0x1d).data, bytes({0xa2}));
        write_register(camera, 0x80, 0x12);
        std::vector<std::uint8_t> before = read_register(camera).data;
        ASSERT_EQ(before.size(), 1U);
        write_register(camera, static_cast<std::uint8_t>(before[0] | 0x27));

        EXPECT_EQ(read_register(camera).data, bytes({static_cast<std::uint8_t>(power_up | 0x27)}));
    }
}

TEST(CameraChips, FaultHeldBackHitsOnlyTheReadsAfterItIsArmed) {
    CameraConfig config{0x00, {FaultAction::stall, FaultTarget::first_read}};
    config.fault_armed = false;
    Camera camera(config);
    EXPECT_EQ(read_register(camera).outcome, Outcome::data);
    EXPECT_EQ(read_register(camera, 0x1c).outcome, Outcome::data);

    camera.arm_fault();
    EXPECT_EQ(read_register(camera).outcome, Outcome::stall);
    EXPECT_EQ(write_register(camera, 0x15).outcome, Outcome::data);
    EXPECT_EQ(read_register(camera).data, bytes({0x15}));
}

}  // namespace
}  // namespace usb_emulator::device_tests
