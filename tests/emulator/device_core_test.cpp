// SPDX-License-Identifier: MIT
// The emulated device on its own, without a transport: its register file,
// its faults, its descriptors, its transfer log, and its state as a host's
// standard requests change it (USB 2.0 chapter 9).
#include <gtest/gtest.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

#include "device_requests.h"
#include "scenarios.h"
#include "usbfs_dialect.h"

namespace usb_emulator::device_tests {
namespace {

// Standard requests.
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

TEST(EmulatedCamera, RegisterFileIsIndexedByWIndexAndWrittenFromWValue) {
    Camera camera(CameraConfig{0x07, {}});

    EXPECT_EQ(read_register(camera).data, bytes({0x07}));
    EXPECT_EQ(send(camera, 0xC0, 3, 0, kRegister, 0).data, bytes({}));
    EXPECT_EQ(send(camera, 0xC0, 3, 0, kRegister, 64).data, bytes({0x07}));
    EXPECT_EQ(write_register(camera, 0x0015).outcome, Outcome::data);
    EXPECT_EQ(write_register(camera, 0x01A5, 0x0016).outcome, Outcome::data);

    EXPECT_EQ(read_register(camera, kRegister).data, bytes({0x15}));
    EXPECT_EQ(read_register(camera, 0x0016).data, bytes({0xA5}));  // the low byte of wValue
    EXPECT_EQ(read_register(camera, 0x0014).data, bytes({0x07}));  // never written
    EXPECT_EQ(camera.register_at(kRegister), 0x15);
    EXPECT_EQ(camera.register_at(0x0016), 0xA5);
}

// What the e2e rows cannot see of a long read: the byte it sends past
// wLength, which usbfs turns into babble.
const char *const kFaultsSeenOnlyHere[] = {"long-read", "long-reads"};

TEST(EmulatedCamera, LongReadsSendTheirExtraByte) {
    const std::uint8_t extra = Camera::kLongReadExtraByte;
    Camera first_only(CameraConfig{0x42, *fault_named("long-read")});
    Camera every(CameraConfig{0x42, *fault_named("long-reads")});
    for (Camera *camera : {&first_only, &every}) {
        EXPECT_EQ(read_register(*camera).data, bytes({0x42, extra}));
        EXPECT_EQ(write_register(*camera, 0x15).outcome, Outcome::data);
    }
    EXPECT_EQ(read_register(first_only).data, bytes({0x15}));
    EXPECT_EQ(read_register(every).data, bytes({0x15, extra}));
}

// The second read stalls after a write that took: a third read answers.
TEST(EmulatedCamera, AReadAfterTheStalledSecondReadAnswers) {
    Camera camera(CameraConfig{0x42, *fault_named("stall-second-read")});
    EXPECT_EQ(read_register(camera).data, bytes({0x42}));
    EXPECT_EQ(write_register(camera, 0x15).outcome, Outcome::data);
    EXPECT_EQ(read_register(camera).outcome, Outcome::stall);
    EXPECT_EQ(read_register(camera).data, bytes({0x15}));
}

// One table goes both ways: each name finds its fault, each fault its name.
TEST(EmulatedCamera, FaultNamesAndFaultsGoBothWays) {
    for (const NamedFault &entry : named_faults()) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(fault_named(entry.name), entry.fault);
        EXPECT_EQ(describe(entry.fault), entry.name);
        EXPECT_NE(std::string(entry.what), "");
    }
    EXPECT_EQ(describe(CameraFault{FaultAction::zero_length, FaultTarget::write}),
              "zero-length at write");
    EXPECT_FALSE(fault_named("timeout"));
    EXPECT_FALSE(fault_named(""));
}

bool plugged_on_usbfs(const std::string &fault) {
    for (const registry::Scenario &row : registry::scenarios()) {
        for (const registry::Camera &camera : row.cameras) {
            if (camera.fault == fault && row.on(registry::Stack::usbfs_libusb012).applies()) {
                return true;
            }
        }
    }
    return false;
}

// Every camera the registry plugs is one the model plays, and every fault
// the model names a registry row plugs on emulated usbfs, whose e2e suite
// checks what each transfer gives, or a row above holds.
TEST(EmulatedCamera, RegistryAndModelKnowTheSameFaults) {
    for (const registry::Scenario &row : registry::scenarios()) {
        for (const registry::Camera &camera : row.cameras) {
            SCOPED_TRACE(row.name);
            EXPECT_TRUE(fault_named(camera.fault)) << camera.fault;
            EXPECT_TRUE(descriptor_lie_named(camera.lie)) << camera.lie;
        }
    }
    for (const NamedFault &entry : named_faults()) {
        EXPECT_TRUE(plugged_on_usbfs(entry.name) ||
                    std::count(std::begin(kFaultsSeenOnlyHere), std::end(kFaultsSeenOnlyHere),
                               std::string(entry.name)) == 1)
            << entry.name << ": no registry row plugs it on emulated usbfs";
    }
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

    // The one endpoint listed is the one the device takes transfers on,
    // with its wMaxPacketSize little-endian like every other word.
    std::uint8_t listed = configuration[18 + 2];
    EXPECT_EQ(configuration[18 + 4] | configuration[18 + 5] << 8, 512);
    EXPECT_EQ(decoy.data_endpoint().max_packet_size, 512);
    EXPECT_TRUE(decoy.has_endpoint(listed));
    EXPECT_EQ(decoy.data_transfer(listed).outcome, Outcome::no_answer);
    EXPECT_FALSE(decoy.has_endpoint(0x02));
    EXPECT_EQ(decoy.data_transfer(0x02).outcome, Outcome::stall);

    // Enumeration as a host does it: short reads first, then in full.
    EXPECT_EQ(send(decoy, 0x80, 6, 0x0100, 0, 64).data, device);
    EXPECT_EQ(send(decoy, 0x80, 6, 0x0100, 0, 8).data,
              std::vector<std::uint8_t>(device.begin(), device.begin() + 8));
    EXPECT_EQ(send(decoy, 0x80, 6, 0x0200, 0, 9).data,
              std::vector<std::uint8_t>(configuration.begin(), configuration.begin() + 9));
    EXPECT_EQ(send(decoy, 0x80, 6, 0x0200, 0, 255).data, configuration);
    EXPECT_EQ(send(decoy, 0x80, 6, 0x0300, 0, 255).outcome, Outcome::stall);
    EXPECT_EQ(send(decoy, 0x80, 6, 0x0201, 0, 255).outcome, Outcome::stall);
    // Unconfigured until SET_CONFIGURATION, and GET_CONFIGURATION says so.
    EXPECT_EQ(decoy.configuration(), 0);
    EXPECT_EQ(get_configuration(decoy), bytes({0}));
    EXPECT_EQ(set_configuration(decoy, 1), Outcome::data);
    EXPECT_EQ(decoy.configuration(), 1);
    EXPECT_EQ(get_configuration(decoy), bytes({1}));
    EXPECT_FALSE(decoy.set_configuration(2));
    EXPECT_EQ(read_register(decoy).outcome, Outcome::stall);
    EXPECT_EQ(set_configuration(decoy, 0), Outcome::data);
    EXPECT_EQ(get_configuration(decoy), bytes({0}));

    RootHub hub;
    std::vector<std::uint8_t> hub_configuration = hub.configuration_descriptor();
    EXPECT_EQ(hub_configuration[18 + 3], 0x03);  // interrupt endpoint
    EXPECT_EQ(hub_configuration[18 + 4] | hub_configuration[18 + 5] << 8, 4);
    EXPECT_EQ(hub.interface_class(), UsbDevice::kHubClass);
}

// What each lie changes, as a host reads it (bNumConfigurations, each
// configuration's header, GET_DESCRIPTOR's answers), and nothing else.
struct LieRow {
    DescriptorLie lie;
    std::uint8_t claimed_configurations;
    std::uint8_t configurations;  // the descriptors it really has
    std::uint16_t total_length;
    std::uint8_t endpoint_length;
    std::size_t full_answer;  // bytes that GET_DESCRIPTOR for all 255 gives
};

TEST(EmulatedDevice, EachLieChangesOnlyWhatItSays) {
    const LieRow rows[] = {
        {DescriptorLie::none, 1, 1, 25, 7, 25},
        {DescriptorLie::total_length_short, 1, 1, 24, 7, 25},
        {DescriptorLie::total_length_long, 1, 1, 64, 7, 25},
        {DescriptorLie::total_length_tiny, 1, 1, 4, 7, 25},
        {DescriptorLie::no_configurations, 0, 0, 25, 7, 0},
        {DescriptorLie::many_configurations, 9, 9, 25, 7, 25},
        {DescriptorLie::missing_configuration, 2, 1, 25, 7, 25},
        {DescriptorLie::endpoint_length_zero, 1, 1, 25, 0, 25},
        {DescriptorLie::short_configuration_answer, 1, 1, 25, 7, 18},
    };
    for (const LieRow &row : rows) {
        SCOPED_TRACE(describe(row.lie));
        EXPECT_EQ(descriptor_lie_named(describe(row.lie)), row.lie);
        Camera camera(CameraConfig{0x00, {}, row.lie});
        std::vector<std::uint8_t> device = camera.device_descriptor();
        ASSERT_EQ(device.size(), 18u);
        EXPECT_EQ(device[17], row.claimed_configurations);
        EXPECT_EQ(camera.configuration_count(), row.configurations);
        EXPECT_EQ(camera.descriptors().size(), 18u + 25u * row.configurations);
        for (std::uint8_t index = 0; index < row.configurations; ++index) {
            std::vector<std::uint8_t> configuration = camera.configuration_descriptor(index);
            ASSERT_EQ(configuration.size(), 25u);
            EXPECT_EQ(configuration[2] | configuration[3] << 8, row.total_length);
            EXPECT_EQ(configuration[5], index + 1);  // bConfigurationValue
            EXPECT_EQ(configuration[18], row.endpoint_length);
            auto value = static_cast<std::uint16_t>(0x0200 | index);
            Answer full = send(camera, 0x80, 6, value, 0, 255);
            EXPECT_EQ(full.data.size(), row.full_answer);
            EXPECT_TRUE(std::equal(full.data.begin(), full.data.end(), configuration.begin()));
        }
        // A configuration past those it has is stalled, as is choosing it.
        auto past = static_cast<std::uint16_t>(0x0200 | row.configurations);
        EXPECT_EQ(send(camera, 0x80, 6, past, 0, 255).outcome, Outcome::stall);
        EXPECT_FALSE(camera.set_configuration(static_cast<std::uint8_t>(row.configurations + 1)));
        EXPECT_TRUE(camera.set_configuration(row.configurations));
        EXPECT_EQ(read_register(camera).data, bytes({0x00}));
    }
    EXPECT_FALSE(descriptor_lie_named("total-length"));
}

// The synchronous ioctl's request reaches the device, and its log, with
// every field whole: words above 255, a timeout above 65535.
TEST(EmulatedDevice, LogKeepsEveryTransferAsSentTimeoutIncluded) {
    Camera camera;
    // bRequestType, bRequest, wValue, wIndex, wLength, timeout, data.
    const usbdevfs_ctrltransfer read{0xC0, 3, 0xA55A, 0x1234, 0x0102, 70000, nullptr};
    camera.control(control_transfer_from(read));
    send(camera, 0x80, 6, 0x0200, 0x0409, 0x0102);
    camera.unplug();
    send(camera, 0x40, 2, 0x15, kRegister, 0);

    std::vector<ControlTransfer> log = camera.transfers();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(describe(log[0]),
              "bmRequestType=0xc0 bRequest=3 wValue=0xa55a wIndex=0x1234 "
              "wLength=258 timeout=70000");
    EXPECT_EQ(describe(log[1]),
              "bmRequestType=0x80 bRequest=6 wValue=0x0200 wIndex=0x0409 wLength=258");
    EXPECT_EQ(log[1].setup.wLength, 0x0102);
    EXPECT_EQ(describe(log[2]),
              "bmRequestType=0x40 bRequest=2 wValue=0x0015 wIndex=0x0013 wLength=0");
    EXPECT_EQ(camera.register_at(kRegister), 0x00);  // the write found it gone
}

TEST(UsbfsDialect, OutcomesBecomeErrnosSetupsParseAndLongInStagesBabble) {
    EXPECT_EQ(errno_for(Outcome::data), 0);
    EXPECT_EQ(errno_for(Outcome::stall), EPIPE);
    EXPECT_EQ(errno_for(Outcome::no_answer), ETIMEDOUT);
    EXPECT_EQ(errno_for(Outcome::gone), ENODEV);

    const std::uint8_t wire[SetupPacket::kSize] = {0xC0, 0x03, 0x34, 0x12, 0x13, 0x01, 0x02, 0x01};
    SetupPacket setup = SetupPacket::parse(wire);
    EXPECT_EQ(setup.wValue, 0x1234);
    EXPECT_EQ(setup.wIndex, 0x0113);
    EXPECT_EQ(setup.wLength, 0x0102);
    EXPECT_TRUE(setup.is_device_to_host());
    EXPECT_FALSE(setup.is_standard());

    // More IN data than asked for is babble; as much or less is a transfer.
    SetupPacket read{0xC0, 3, 0, kRegister, 1};
    SetupPacket write{0x40, 2, 0x15, kRegister, 0};
    EXPECT_TRUE(babbles(read, Answer::with({0x01, 0x02})));
    EXPECT_FALSE(babbles(read, Answer::with({0x01})));
    EXPECT_FALSE(babbles(read, Answer::with({})));
    EXPECT_FALSE(babbles(read, Answer::stall()));
    EXPECT_FALSE(babbles(write, Answer::with({})));
}

TEST(DeviceState, SetInterfaceTakesOnlyTheOneSettingOfAConfiguredDeviceUntilABusReset) {
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

    // A bus reset leaves it unconfigured; the host configures it again.
    EXPECT_EQ(get_configuration(camera), bytes({1}));
    camera.reset();
    EXPECT_EQ(camera.configuration(), 0);
    EXPECT_EQ(get_configuration(camera), bytes({0}));
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::stall);
    EXPECT_EQ(set_configuration(camera, 1), Outcome::data);
    EXPECT_EQ(get_configuration(camera), bytes({1}));
    EXPECT_EQ(set_interface(camera, 0, 0), Outcome::data);
}

}  // namespace
}  // namespace usb_emulator::device_tests
