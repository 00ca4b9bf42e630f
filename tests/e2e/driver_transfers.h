// SPDX-License-Identifier: MIT
// A camera beside the kernel's webcam driver in a QEMU guest: plugging it so
// that its faults wait for the driver's probe, and reading its transfer log
// apart into the driver's transfers and a program's.
#ifndef CAMERA_PROBE_TESTS_E2E_DRIVER_TRANSFERS_H
#define CAMERA_PROBE_TESTS_E2E_DRIVER_TRANSFERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "guest_scenario.h"

namespace e2e {

struct DriverBoundCameras {
    PluggedDevices plugged;
    // Per camera: how many transfers it had seen when the driver was bound.
    std::vector<std::size_t> driver_transfers;
    // From the guest's seeing the devices to the driver's holding them all.
    double bind_seconds = 0;
};

// Plugs the row, its faults held back, waits until the guest's webcam
// driver has bound each camera, then arms their faults; throws if the
// guest does not answer or the driver does not bind them.
DriverBoundCameras plug_beside_driver(usb_emulator::GuestVm &guest, const registry::Scenario &row);

// A desktop row's run: its cameras bound by the driver, camera-probe run,
// and the driver still holding every camera that did not unplug itself.
struct DesktopRowRun {
    DriverBoundCameras bound;
    TimedRun probe;
};
DesktopRowRun run_beside_driver(usb_emulator::GuestVm &guest,
                                const usb_emulator::GuestCommand &probe,
                                const registry::Scenario &row);

// What a desktop row's run must show: the driver's initialisation wrote the
// register camera-probe reads, then camera-probe sent each camera the
// cell's share of the exchange and touched no decoy, and printed what the
// cell says given what the driver left in each register (returned).
std::vector<std::uint8_t> expect_desktop_cell(const DesktopRowRun &done,
                                              const registry::Scenario &row,
                                              const registry::Result &cell);

// A vendor request `request` (read or write) of sensor register `index`.
bool is_sensor_request(const usb_emulator::ControlTransfer &transfer, int request,
                       std::uint16_t index);
// The values a log's vendor writes put into sensor register `index`.
std::vector<std::uint8_t> values_written_to(const std::vector<usb_emulator::ControlTransfer> &log,
                                            std::uint16_t index);

}  // namespace e2e

#endif
