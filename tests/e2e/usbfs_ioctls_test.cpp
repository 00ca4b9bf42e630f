// SPDX-License-Identifier: MIT
// A camera's device node as a raw usbfs client sees it, each ioctl's own
// answer, which libusb-1.0 cannot tell apart: its URB queue; its state
// (the kernel configured it at enumeration, so it takes its one interface
// setting and stalls any other); its bulk IN endpoint, through libusb
// 0.1's synchronous bulk ioctl and libusb-1.0's bulk URBs, which streams
// nothing yet, so a read of it waits, while an endpoint the descriptors do
// not list, or a URB of the wrong type, is refused as the kernel refuses it.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

// A camera's node, the client's steps on it, and the lines it prints.
struct ClientRun {
    std::string name;
    CameraConfig camera;
    std::vector<std::string> steps;
    std::string lines;
};
void PrintTo(const ClientRun &run, std::ostream *out) {
    *out << run.name;
}

class UsbfsNode : public ::testing::TestWithParam<ClientRun> {};

// The client's steps on the node of one camera alone on its bus.
TEST_P(UsbfsNode, AnswersEachIoctl) {
    UsbfsTestbed testbed;
    DeviceRef node = testbed.add_camera(testbed.add_bus(), GetParam().camera);
    std::vector<std::string> argv = {USBFS_CLIENT_BINARY, node.devnode};
    argv.insert(argv.end(), GetParam().steps.begin(), GetParam().steps.end());
    ProgramRun run = run_program(testbed, argv);
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.process.output, GetParam().lines);
}

// What the camera's configuration descriptor lists besides endpoint 0, and
// endpoints it does not list: an OUT twin of the bulk one, another IN one.
const std::string kBulkIn = "0x81";
const std::string kUnlistedOut = "0x01";
const std::string kUnlistedIn = "0x82";
const CameraConfig kHealthy = camera_config(0x00);
const CameraConfig kUnplugging = camera_with(FaultAction::unplug, FaultTarget::first_read);

// usbfs looks a URB's endpoint up first (ENOENT), then checks its type
// against it: an interrupt URB on a bulk endpoint is invalid.
INSTANTIATE_TEST_SUITE_P(
    Usbfs, UsbfsNode,
    ::testing::Values(ClientRun{"UrbsAReapThatFaultsLeavesTheCompletionForTheNextReap",
                                camera_config(0x5C),
                                {"submit", "0x13", "reap-null", "reap", "reap"},
                                "submit: 0\nreap-null: -1 EFAULT\nreap: 0\n"
                                "reap: status=0 actual_length=1 data=5c\nreap: -1 EAGAIN\n"},
                      ClientRun{"UrbsAnUnansweredUrbWaitsUntilDiscardedThenReapsAsUnlinked",
                                camera_with(FaultAction::no_answer, FaultTarget::first_read),
                                {"submit", "0x13", "reap", "discard", "reap"},
                                "submit: 0\nreap: -1 EAGAIN\ndiscard: 0\nreap: 0\n"
                                "reap: status=-2 actual_length=0 data=00\n"},
                      ClientRun{"UrbsASubmitToAnUnpluggedCameraFailsAtOnce",
                                kUnplugging,
                                {"submit", "0x13", "reap"},
                                "submit: -1 ENODEV\nreap: -1 EAGAIN\n"},
                      ClientRun{
                          "DeviceStateTheCameraIsConfiguredAndTakesOnlyItsOneInterfaceSetting",
                          kHealthy,
                          {"get-configuration", "set-interface", "0", "set-interface", "1",
                           "set-interface", "0"},
                          "get-configuration: 1\nget-configuration: data=01\nset-interface: 0\n"
                          "set-interface: -1 EPIPE\nset-interface: 0\n"},
                      ClientRun{"BulkASynchronousReadWaitsOutItsTimeoutOnTheListedEndpointOnly",
                                kHealthy,
                                {"bulk", kBulkIn, "bulk", kUnlistedOut, "bulk", kUnlistedIn},
                                "bulk: -1 ETIMEDOUT\nbulk: -1 ENOENT\nbulk: -1 ENOENT\n"},
                      ClientRun{"BulkABulkUrbStaysPendingUntilDiscardedThenReapsAsUnlinked",
                                kHealthy,
                                {"submit-bulk", kBulkIn, "reap", "discard", "reap", "reap"},
                                "submit-bulk: 0\nreap: -1 EAGAIN\ndiscard: 0\nreap: 0\n"
                                "reap: status=-2 actual_length=0\nreap: -1 EAGAIN\n"},
                      ClientRun{"BulkAUrbIsRefusedOnAnUnlistedEndpointOrOfTheWrongType",
                                kHealthy,
                                {"submit-bulk", kUnlistedIn, "submit-interrupt", kUnlistedIn,
                                 "submit-interrupt", kBulkIn, "reap"},
                                "submit-bulk: -1 ENOENT\nsubmit-interrupt: -1 ENOENT\n"
                                "submit-interrupt: -1 EINVAL\nreap: -1 EAGAIN\n"},
                      ClientRun{"BulkOnceTheCameraIsGoneEveryBulkTransferFindsItGone",
                                kUnplugging,
                                {"read", "0x13", "bulk", kBulkIn, "submit-bulk", kBulkIn, "reap"},
                                "read: -1 ENODEV\nbulk: -1 ENODEV\nsubmit-bulk: -1 ENODEV\n"
                                "reap: -1 EAGAIN\n"}),
    [](const ::testing::TestParamInfo<ClientRun> &param) { return param.param.name; });

// What udev matches the rule on and libusb-1.0 lists devices by: each
// device's own IDs, bus and address in its sysfs attributes, read inside
// the testbed as any program there reads them.
TEST(UsbfsSysfs, EachDeviceShowsItsOwnIdsBusAndAddress) {
    UsbfsTestbed testbed;
    int bus = testbed.add_bus();
    testbed.add_device(bus, kVendorId, 0x1234);
    testbed.add_camera(bus, camera_config(0x00));
    testbed.add_device(testbed.add_bus(), 0x046D, kProductId);
    // Devices are made bus by bus, each bus's in address order.
    std::string expected;
    for (const DeviceRef &device : testbed.devices()) {
        char line[64];
        std::snprintf(line, sizeof line, "%d %d %04x:%04x\n", device.bus, device.devnum,
                      device.vendor, device.product);
        expected += line;
    }

    ProgramRun run = run_program(testbed, {"/bin/sh", "-c",
                                           "for device in /sys/bus/usb/devices/*; do"
                                           "  echo \"$(cat $device/busnum) $(cat $device/devnum)"
                                           " $(cat $device/idVendor):$(cat $device/idProduct)\";"
                                           "done | sort -n -k1,1 -k2,2"});

    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.process.output, expected);
}

}  // namespace
}  // namespace e2e
