// SPDX-License-Identifier: MIT
// The usbfs transport's URB queue as a raw usbfs client sees it: what
// libusb-1.0 cannot tell apart, each ioctl's own answer can.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.h"

#ifndef USBFS_CLIENT_BINARY
#error "USBFS_CLIENT_BINARY must name the built usbfs-client"
#endif

namespace e2e {
namespace {

std::string run_client(const CameraConfig &camera, const std::vector<std::string> &steps) {
    return raw_client_output(USBFS_CLIENT_BINARY, camera, steps);
}

TEST(UsbfsUrbs, AReapThatFaultsLeavesTheCompletionForTheNextReap) {
    EXPECT_EQ(run_client(camera_config(0x5C), {"submit", "0x13", "reap-null", "reap", "reap"}),
              "submit: 0\n"
              "reap-null: -1 EFAULT\n"
              "reap: 0\n"
              "reap: status=0 actual_length=1 data=5c\n"
              "reap: -1 EAGAIN\n");
}

TEST(UsbfsUrbs, AnUnansweredUrbWaitsUntilDiscardedThenReapsAsUnlinked) {
    EXPECT_EQ(run_client(camera_with(FaultAction::no_answer, FaultTarget::first_read),
                         {"submit", "0x13", "reap", "discard", "reap"}),
              "submit: 0\n"
              "reap: -1 EAGAIN\n"
              "discard: 0\n"
              "reap: 0\n"
              "reap: status=-2 actual_length=0 data=00\n");
}

TEST(UsbfsUrbs, ASubmitToAnUnpluggedCameraFailsAtOnce) {
    EXPECT_EQ(run_client(camera_with(FaultAction::unplug, FaultTarget::first_read),
                         {"submit", "0x13", "reap"}),
              "submit: -1 ENODEV\n"
              "reap: -1 EAGAIN\n");
}

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
