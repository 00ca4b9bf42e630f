// SPDX-License-Identifier: MIT
#ifndef CAMERA_PROBE_CAMERA_PROBE_H
#define CAMERA_PROBE_CAMERA_PROBE_H

#include <cstdio>

#include "camera_protocol.h"
#include "usb_api.h"

namespace camera_probe {

constexpr int kVendorReadRequestType = USB_ENDPOINT_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE;
constexpr int kVendorWriteRequestType = USB_ENDPOINT_OUT | USB_TYPE_VENDOR | USB_RECIP_DEVICE;

constexpr int kExitWalkCompleted = 0;
constexpr int kExitScanFailed = -1;

// State shared by every phase of one run.
struct ProbeRun {
    std::FILE *out;
    // Data buffer of every vendor read. Never reset between reads or
    // cameras: a read that delivers nothing leaves the previous byte.
    unsigned char probe_byte;
};

// Whole run: library start-up, scans, device walk. Returns the exit status.
int run_camera_probe(std::FILE *out);

// The library also declares a function named usb_device(), so the record
// type has to be spelled "struct usb_device" throughout.

// Visits every device of every bus and runs the exchange on each camera.
void walk_buses(usb_bus *first_bus, ProbeRun &run);

bool is_target_camera(const struct usb_device &device);

// Opens the camera, reads, writes and reads back the register, closes it.
void exchange_registers(struct usb_device *camera, ProbeRun &run);

}  // namespace camera_probe

#endif
