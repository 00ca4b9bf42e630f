// SPDX-License-Identifier: MIT
// The emulated device on its own, without a transport: what the camera's
// register file answers, which faults hit which transfer, what the
// descriptors promise, and what the transfer log keeps.
#include <gtest/gtest.h>

#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <vector>

#include "camera.h"
#include "usbfs_dialect.h"

namespace usb_emulator {
namespace {

constexpr std::uint16_t kRegister = 0x13;

ControlTransfer transfer(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint16_t length) {
    return ControlTransfer{SetupPacket{request_type, request, value, index, length}, std::nullopt};
}

Answer read_register(Camera &camera, std::uint16_t index = kRegister) {
    return camera.control(transfer(0xC0, 3, 0, index, 1));
}

Answer write_register(Camera &camera, std::uint16_t value, std::uint16_t index = kRegister) {
    return camera.control(transfer(0x40, 2, value, index, 0));
}

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> values) {
    return values;
}

TEST(EmulatedCamera, RegisterFileIsIndexedByWIndexAndWrittenFromWValue) {
    Camera camera(CameraConfig{0x07, {}});

    EXPECT_EQ(read_register(camera).data, bytes({0x07}));
    EXPECT_EQ(write_register(camera, 0x0015).outcome, Outcome::data);
    EXPECT_EQ(write_register(camera, 0x01A5, 0x0012).outcome, Outcome::data);

    EXPECT_EQ(read_register(camera, kRegister).data, bytes({0x15}));
    EXPECT_EQ(read_register(camera, 0x0012).data, bytes({0xA5}));  // the low byte of wValue
    EXPECT_EQ(read_register(camera, 0x0014).data, bytes({0x07}));  // never written
    EXPECT_EQ(camera.register_at(kRegister), 0x15);
    EXPECT_EQ(camera.register_at(0x0012), 0xA5);
}

TEST(EmulatedCamera, AnswersOnlyItsTwoVendorRequestsInTheirOwnDirection) {
    Camera camera(CameraConfig{0x07, {}});
    const std::vector<ControlTransfer> strangers = {
        transfer(0xC1, 3, 0, kRegister, 1),     // interface recipient
        transfer(0xA0, 3, 0, kRegister, 1),     // class request
        transfer(0x40, 3, 0x15, kRegister, 0),  // read request, host to device
        transfer(0xC0, 2, 0, kRegister, 1),     // write request, device to host
        transfer(0xC0, 4, 0, kRegister, 1),
        transfer(0x40, 2, 0x15, kRegister, 1),  // a write with a data stage
    };
    for (const ControlTransfer &stranger : strangers) {
        SCOPED_TRACE(describe(stranger));
        EXPECT_EQ(camera.control(stranger).outcome, Outcome::stall);
    }
    EXPECT_EQ(camera.register_at(kRegister), 0x07);
    EXPECT_EQ(camera.control(transfer(0xC0, 3, 0, kRegister, 0)).data, bytes({}));
    EXPECT_EQ(camera.control(transfer(0xC0, 3, 0, kRegister, 64)).data, bytes({0x07}));
}

struct FaultRow {
    CameraFault fault;
    Outcome first_read;
    Outcome write;
    Outcome second_read;
};

TEST(EmulatedCamera, EachFaultHitsOnlyTheTransfersItNames) {
    const Outcome data = Outcome::data;
    const FaultRow rows[] = {
        {{FaultAction::stall, FaultTarget::first_read}, Outcome::stall, data, data},
        {{FaultAction::stall, FaultTarget::every_read}, Outcome::stall, data, Outcome::stall},
        {{FaultAction::stall, FaultTarget::write}, data, Outcome::stall, data},
        {{FaultAction::no_answer, FaultTarget::first_read}, Outcome::no_answer, data, data},
        {{FaultAction::no_answer, FaultTarget::every_transfer},
         Outcome::no_answer,
         Outcome::no_answer,
         Outcome::no_answer},
        // Unplugged is for good: nothing answers after it.
        {{FaultAction::unplug, FaultTarget::first_read},
         Outcome::gone,
         Outcome::gone,
         Outcome::gone},
        {{FaultAction::unplug, FaultTarget::write}, data, Outcome::gone, Outcome::gone},
    };
    for (const FaultRow &row : rows) {
        SCOPED_TRACE(describe(row.fault));
        Camera camera(CameraConfig{0x00, row.fault});
        EXPECT_EQ(read_register(camera).outcome, row.first_read);
        EXPECT_EQ(write_register(camera, 0x15).outcome, row.write);
        EXPECT_EQ(read_register(camera).outcome, row.second_read);
        EXPECT_EQ(camera.unplugged(), row.second_read == Outcome::gone);
    }

    Camera empty_first_read(
        CameraConfig{0x00, {FaultAction::zero_length, FaultTarget::first_read}});
    Answer first = read_register(empty_first_read);
    EXPECT_EQ(first.outcome, Outcome::data);
    EXPECT_EQ(first.data, bytes({}));
    write_register(empty_first_read, 0x15);
    EXPECT_EQ(read_register(empty_first_read).data, bytes({0x15}));

    Camera rejects_write(CameraConfig{0x42, {FaultAction::stall, FaultTarget::write}});
    write_register(rejects_write, 0x15);
    EXPECT_EQ(rejects_write.register_at(kRegister), 0x42);
}

TEST(EmulatedCamera, RunnerFaultNamesHitTheFirstReadOrTheWrite) {
    EXPECT_EQ(describe(*fault_named("stall")), "stall at first read");
    EXPECT_EQ(describe(*fault_named("zero-length")), "zero-length at first read");
    EXPECT_EQ(describe(*fault_named("no-answer")), "no-answer at first read");
    EXPECT_EQ(describe(*fault_named("unplug")), "unplug at first read");
    EXPECT_EQ(describe(*fault_named("reject-write")), "stall at write");
    EXPECT_FALSE(fault_named("timeout"));
    EXPECT_FALSE(fault_named(""));
}

TEST(EmulatedDevice, DescriptorsAgreeWithWhatTheDeviceAnswers) {
    Decoy decoy(0x046D, 0xC31C);
    std::vector<std::uint8_t> device = decoy.device_descriptor();
    std::vector<std::uint8_t> configuration = decoy.configuration_descriptor();
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, 0x046D);
    EXPECT_EQ(device[10] | device[11] << 8, 0xC31C);
    ASSERT_EQ(configuration.size(), 25u);
    EXPECT_EQ(configuration[2] | configuration[3] << 8, 25);  // wTotalLength
    EXPECT_EQ(configuration[9 + 4], 1);                       // bNumEndpoints

    // The one endpoint listed is the one the device takes transfers on.
    std::uint8_t listed = configuration[18 + 2];
    EXPECT_TRUE(decoy.has_endpoint(listed));
    EXPECT_EQ(decoy.data_transfer(listed).outcome, Outcome::no_answer);
    EXPECT_FALSE(decoy.has_endpoint(0x02));
    EXPECT_EQ(decoy.data_transfer(0x02).outcome, Outcome::stall);

    // Enumeration as a host does it: short reads first, then in full.
    EXPECT_EQ(decoy.control(transfer(0x80, 6, 0x0100, 0, 64)).data, device);
    EXPECT_EQ(decoy.control(transfer(0x80, 6, 0x0100, 0, 8)).data,
              std::vector<std::uint8_t>(device.begin(), device.begin() + 8));
    EXPECT_EQ(decoy.control(transfer(0x80, 6, 0x0200, 0, 9)).data,
              std::vector<std::uint8_t>(configuration.begin(), configuration.begin() + 9));
    EXPECT_EQ(decoy.control(transfer(0x80, 6, 0x0200, 0, 255)).data, configuration);
    EXPECT_EQ(decoy.control(transfer(0x80, 6, 0x0300, 0, 255)).outcome, Outcome::stall);
    EXPECT_EQ(decoy.control(transfer(0x00, 9, 1, 0, 0)).outcome, Outcome::data);
    EXPECT_EQ(decoy.configuration(), 1);
    EXPECT_EQ(decoy.control(transfer(0x80, 8, 0, 0, 1)).data, bytes({1}));
    EXPECT_FALSE(decoy.set_configuration(2));
    EXPECT_EQ(decoy.control(transfer(0xC0, 3, 0, kRegister, 1)).outcome, Outcome::stall);

    RootHub hub;
    EXPECT_EQ(hub.configuration_descriptor()[18 + 3], 0x03);  // interrupt endpoint
    EXPECT_EQ(hub.interface_class(), UsbDevice::kHubClass);
}

TEST(EmulatedDevice, LogKeepsEveryTransferAsSentTimeoutIncluded) {
    Camera camera;
    usbdevfs_ctrltransfer read{};
    read.bRequestType = 0xC0;
    read.bRequest = 3;
    read.wValue = 0x0000;
    read.wIndex = kRegister;
    read.wLength = 1;
    read.timeout = 1234;
    camera.control(control_transfer_from(read));
    camera.unplug();
    camera.control(transfer(0x40, 2, 0x15, kRegister, 0));

    std::vector<ControlTransfer> log = camera.transfers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(describe(log[0]),
              "bmRequestType=0xc0 bRequest=3 wValue=0x0000 wIndex=0x0013 wLength=1 timeout=1234");
    EXPECT_EQ(describe(log[1]),
              "bmRequestType=0x40 bRequest=2 wValue=0x0015 wIndex=0x0013 wLength=0");
    EXPECT_EQ(camera.register_at(kRegister), 0x00);  // the write found it gone
}

TEST(UsbfsDialect, OutcomesBecomeTheKernelsErrnos) {
    EXPECT_EQ(errno_for(Outcome::data), 0);
    EXPECT_EQ(errno_for(Outcome::stall), EPIPE);
    EXPECT_EQ(errno_for(Outcome::no_answer), ETIMEDOUT);
    EXPECT_EQ(errno_for(Outcome::gone), ENODEV);

    const std::uint8_t wire[SetupPacket::kSize] = {0xC0, 0x03, 0x34, 0x12, 0x13, 0x00, 0x01, 0x00};
    SetupPacket setup = SetupPacket::parse(wire);
    EXPECT_EQ(setup.wValue, 0x1234);
    EXPECT_EQ(setup.wIndex, 0x0013);
    EXPECT_EQ(setup.wLength, 1);
    EXPECT_TRUE(setup.is_device_to_host());
    EXPECT_FALSE(setup.is_standard());
}

}  // namespace
}  // namespace usb_emulator
