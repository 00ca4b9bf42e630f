// SPDX-License-Identifier: MIT
#ifndef CAMERA_PROBE_CAMERA_PROBE_H
#define CAMERA_PROBE_CAMERA_PROBE_H

#include <cstdint>
#include <cstdio>

#include "usb_api.h"

namespace camera_probe {

// The camera this tool talks to.
constexpr std::uint16_t kTargetVendorId = 0x05A9;
constexpr std::uint16_t kTargetProductId = 0x2800;

// Vendor register exchange: read the register, write a value, read it back.
constexpr int kRegisterIndex = 0x13;
constexpr int kWrittenValue = 0x15;
constexpr int kVendorReadRequestType = 0xC0;   // device-to-host, vendor, device
constexpr int kVendorWriteRequestType = 0x40;  // host-to-device, vendor, device
constexpr int kVendorReadRequest = 3;
constexpr int kVendorWriteRequest = 2;
constexpr int kTransferTimeoutMs = 5000;

// Until a read delivers a byte, the result lines show a space.
constexpr unsigned char kProbeBytePreset = 0x20;

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
