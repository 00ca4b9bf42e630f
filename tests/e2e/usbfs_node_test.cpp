// SPDX-License-Identifier: MIT
// A camera's device node as a raw usbfs client sees it. Its state: the
// kernel has configured it at enumeration, so it takes the one interface
// setting it has and stalls any other. Its bulk IN endpoint, through the
// synchronous bulk ioctl of libusb 0.1 and the bulk URBs of libusb-1.0:
// it streams nothing yet, so a read of it waits; an endpoint the
// descriptors do not list, or a URB of the wrong type, is refused as the
// kernel refuses it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

#ifndef USBFS_CLIENT_BINARY
#error "USBFS_CLIENT_BINARY must name the built usbfs-client"
#endif

namespace e2e {
namespace {

// What the camera's configuration descriptor lists besides endpoint 0.
const std::string kBulkIn = "0x81";
// Endpoints it does not list: an OUT twin of the bulk one, another IN one.
const std::string kUnlistedOut = "0x01";
const std::string kUnlistedIn = "0x82";

// The usbfs client's lines for `steps` on one camera's node.
std::string client_lines(const CameraConfig &camera, const std::vector<std::string> &steps) {
    return raw_client_output(USBFS_CLIENT_BINARY, camera, steps);
}

const CameraConfig kHealthyCamera = camera_config(0x00);
const CameraConfig kUnpluggingCamera = camera_with(FaultAction::unplug, FaultTarget::first_read);

TEST(UsbfsDeviceState, TheCameraIsConfiguredAndTakesOnlyItsOneInterfaceSetting) {
    EXPECT_EQ(client_lines(kHealthyCamera, {"get-configuration", "set-interface", "0",
                                            "set-interface", "1", "set-interface", "0"}),
              "get-configuration: 1\n"
              "get-configuration: data=01\n"
              "set-interface: 0\n"
              "set-interface: -1 EPIPE\n"
              "set-interface: 0\n");
}

TEST(UsbfsBulkEndpoint, ASynchronousReadWaitsOutItsTimeoutOnTheListedEndpointOnly) {
    EXPECT_EQ(
        client_lines(kHealthyCamera, {"bulk", kBulkIn, "bulk", kUnlistedOut, "bulk", kUnlistedIn}),
        "bulk: -1 ETIMEDOUT\n"
        "bulk: -1 ENOENT\n"
        "bulk: -1 ENOENT\n");
}

TEST(UsbfsBulkEndpoint, ABulkUrbStaysPendingUntilDiscardedThenReapsAsUnlinked) {
    EXPECT_EQ(
        client_lines(kHealthyCamera, {"submit-bulk", kBulkIn, "reap", "discard", "reap", "reap"}),
        "submit-bulk: 0\n"
        "reap: -1 EAGAIN\n"
        "discard: 0\n"
        "reap: 0\n"
        "reap: status=-2 actual_length=0\n"
        "reap: -1 EAGAIN\n");
}

// usbfs looks up the endpoint first (ENOENT), then checks the URB's type
// against it: an interrupt URB on a bulk endpoint is invalid.
TEST(UsbfsBulkEndpoint, AUrbIsRefusedOnAnUnlistedEndpointOrOfTheWrongType) {
    EXPECT_EQ(client_lines(kHealthyCamera, {"submit-bulk", kUnlistedIn, "submit-interrupt",
                                            kUnlistedIn, "submit-interrupt", kBulkIn, "reap"}),
              "submit-bulk: -1 ENOENT\n"
              "submit-interrupt: -1 ENOENT\n"
              "submit-interrupt: -1 EINVAL\n"
              "reap: -1 EAGAIN\n");
}

TEST(UsbfsBulkEndpoint, OnceTheCameraIsGoneEveryBulkTransferFindsItGone) {
    EXPECT_EQ(client_lines(kUnpluggingCamera,
                           {"read", "0x13", "bulk", kBulkIn, "submit-bulk", kBulkIn, "reap"}),
              "read: -1 ENODEV\n"
              "bulk: -1 ENODEV\n"
              "submit-bulk: -1 ENODEV\n"
              "reap: -1 EAGAIN\n");
}

}  // namespace
}  // namespace e2e
