// SPDX-License-Identifier: MIT
// A camera's device node as a raw usbfs client sees it, each ioctl's own
// answer: its URB queue; its state (configured at enumeration, it takes its
// one interface setting and stalls any other); its bulk IN endpoint, which
// streams nothing yet, so that a synchronous read or a bulk URB waits, while
// an unlisted endpoint or a URB of the wrong type is refused as the kernel
// refuses it.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

// A camera's node, the client's steps on it (words split at blanks), and
// the lines it prints.
struct ClientRun {
    std::string name;
    CameraConfig camera;
    std::string steps;
    std::string lines;
};
void PrintTo(const ClientRun &run, std::ostream *out) {
    *out << run.name;
}

class UsbfsNode : public ::testing::TestWithParam<ClientRun> {};

TEST_P(UsbfsNode, AnswersEachIoctl) {
    UsbfsTestbed testbed;
    DeviceRef node = testbed.add_camera(testbed.add_bus(), GetParam().camera);
    std::vector<std::string> argv = {USBFS_CLIENT_BINARY, node.devnode};
    std::istringstream steps(GetParam().steps);
    for (std::string word; steps >> word;) {
        argv.push_back(word);
    }
    ProgramRun run = run_program(testbed, argv);
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.process.output, GetParam().lines);
}

const CameraConfig kHealthy = camera_config(0x00);
const CameraConfig kUnplugging = camera_with(FaultAction::unplug, FaultTarget::first_read);

// The camera's configuration descriptor lists bulk IN endpoint 0x81 besides
// endpoint 0, and neither 0x01 (its OUT twin) nor 0x82.
const ClientRun kNodeRuns[] = {
    {"UrbsAReapThatFaultsLeavesTheCompletionForTheNextReap", camera_config(0x5C),
     "submit 0x13 reap-null reap reap",
     "submit: 0\nreap-null: -1 EFAULT\nreap: 0\nreap: status=0 actual_length=1 data=5c\n"
     "reap: -1 EAGAIN\n"},
    {"UrbsAnUnansweredUrbWaitsUntilDiscardedThenReapsAsUnlinked",
     camera_with(FaultAction::no_answer, FaultTarget::first_read), "submit 0x13 reap discard reap",
     "submit: 0\nreap: -1 EAGAIN\ndiscard: 0\nreap: 0\nreap: status=-2 actual_length=0 data=00\n"},
    {"UrbsASubmitToAnUnpluggedCameraFailsAtOnce", kUnplugging, "submit 0x13 reap",
     "submit: -1 ENODEV\nreap: -1 EAGAIN\n"},
    {"DeviceStateTheCameraIsConfiguredAndTakesOnlyItsOneInterfaceSetting", kHealthy,
     "get-configuration set-interface 0 set-interface 1 set-interface 0",
     "get-configuration: 1\nget-configuration: data=01\nset-interface: 0\n"
     "set-interface: -1 EPIPE\nset-interface: 0\n"},
    {"BulkASynchronousReadWaitsOutItsTimeoutOnTheListedEndpointOnly", kHealthy,
     "bulk 0x81 bulk 0x01 bulk 0x82", "bulk: -1 ETIMEDOUT\nbulk: -1 ENOENT\nbulk: -1 ENOENT\n"},
    {"BulkABulkUrbStaysPendingUntilDiscardedThenReapsAsUnlinked", kHealthy,
     "submit-bulk 0x81 reap discard reap reap",
     "submit-bulk: 0\nreap: -1 EAGAIN\ndiscard: 0\nreap: 0\nreap: status=-2 actual_length=0\n"
     "reap: -1 EAGAIN\n"},
    // usbfs looks a URB's endpoint up first (ENOENT), then checks its type
    // against it: an interrupt URB on a bulk endpoint is invalid.
    {"BulkAUrbIsRefusedOnAnUnlistedEndpointOrOfTheWrongType", kHealthy,
     "submit-bulk 0x82 submit-interrupt 0x82 submit-interrupt 0x81 reap",
     "submit-bulk: -1 ENOENT\nsubmit-interrupt: -1 ENOENT\nsubmit-interrupt: -1 EINVAL\n"
     "reap: -1 EAGAIN\n"},
    {"BulkOnceTheCameraIsGoneEveryBulkTransferFindsItGone", kUnplugging,
     "read 0x13 bulk 0x81 submit-bulk 0x81 reap",
     "read: -1 ENODEV\nbulk: -1 ENODEV\nsubmit-bulk: -1 ENODEV\nreap: -1 EAGAIN\n"}};

INSTANTIATE_TEST_SUITE_P(Usbfs, UsbfsNode, ::testing::ValuesIn(kNodeRuns), NameOfRun());

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
