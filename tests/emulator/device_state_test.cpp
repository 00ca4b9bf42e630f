// SPDX-License-Identifier: MIT
// The emulated device's state as a host changes it with standard requests
// (USB 2.0 chapter 9): which interface settings it takes, and where a bus
// reset leaves it. A real device is in the Address state until the host
// configures it, refuses (stalls) an alternate setting it does not have,
// and is back in the Default state, unconfigured, after a bus reset.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device_requests.h"

namespace usb_emulator::device_tests {
namespace {

constexpr std::uint8_t kToDevice = 0x00;
constexpr std::uint8_t kToInterface = 0x01;
constexpr std::uint8_t kFromDevice = 0x80;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kSetInterface = 11;

Outcome set_interface(UsbDevice &device, std::uint16_t interface, std::uint16_t alternate) {
    return send(device, kToInterface, kSetInterface, alternate, interface).outcome;
}

Outcome set_configuration(UsbDevice &device, std::uint16_t configuration) {
    return send(device, kToDevice, kSetConfiguration, configuration, 0).outcome;
}

std::vector<std::uint8_t> get_configuration(UsbDevice &device) {
    return send(device, kFromDevice, kGetConfiguration, 0, 0, 1).data;
}

TEST(DeviceState, SetInterfaceTakesOnlyTheOneSettingOfAConfiguredDevice) {
    Camera camera;
    // Address state: no interface to set yet.
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::stall);
    EXPECT_FALSE(camera.set_interface(0, 0));

    ASSERT_EQ(set_configuration(camera, 1), Outcome::data);
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::data);
    EXPECT_TRUE(camera.set_interface(0, 0));
    // Interface 0 has only alternate setting 0, and there is no interface 1.
    for (std::uint16_t alternate : {1, 2, 0xFF}) {
        SCOPED_TRACE(alternate);
        EXPECT_EQ(set_interface(camera, 0, alternate), Outcome::stall);
        EXPECT_FALSE(camera.set_interface(0, static_cast<std::uint8_t>(alternate)));
    }
    EXPECT_EQ(set_interface(camera, 1, 0), Outcome::stall);
    EXPECT_FALSE(camera.set_interface(1, 0));
    // A SET_INTERFACE with a data stage is not one.
    EXPECT_EQ(send(camera, kToInterface, kSetInterface, 0, 0, 1).outcome, Outcome::stall);
    // A refused setting leaves the device as it was.
    EXPECT_EQ(camera.configuration(), 1);
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::data);
}

TEST(DeviceState, ABusResetLeavesTheDeviceUnconfigured) {
    Camera camera;
    ASSERT_EQ(set_configuration(camera, 1), Outcome::data);
    ASSERT_EQ(get_configuration(camera), bytes({1}));

    camera.reset();

    EXPECT_EQ(camera.configuration(), 0);
    EXPECT_EQ(get_configuration(camera), bytes({0}));
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::stall);
    // The host configures it again as after any enumeration.
    EXPECT_EQ(set_configuration(camera, 1), Outcome::data);
    EXPECT_EQ(get_configuration(camera), bytes({1}));
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::data);
}

}  // namespace
}  // namespace usb_emulator::device_tests
