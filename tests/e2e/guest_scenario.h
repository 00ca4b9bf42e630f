// SPDX-License-Identifier: MIT
// What a scenario in a QEMU guest plugs and checks, whichever the guest's
// architecture: the cameras among devices that share one ID with them, and
// which of the exchange's transfers reached each.
#ifndef CAMERA_PROBE_TESTS_E2E_GUEST_SCENARIO_H
#define CAMERA_PROBE_TESTS_E2E_GUEST_SCENARIO_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "expected_output.h"
#include "guest_vm.h"

namespace e2e {

// The guest a suite boots once: made and staged by `prepare`, then booted,
// its boot time printed. Null, with `failure` saying why, when it cannot
// be made or booted; every scenario then fails with that reason.
std::unique_ptr<usb_emulator::GuestVm> boot_for_suite(
    const std::function<std::unique_ptr<usb_emulator::GuestVm>()> &prepare, std::string &failure);

// Switches off the suite's guest, if it booted, and lets it go.
void power_off(usb_emulator::GuestVm *&guest);

struct PluggedDevices {
    std::vector<std::shared_ptr<usb_emulator::Camera>> cameras;
    // Devices beside the cameras that must not be probed.
    std::vector<std::shared_ptr<usb_emulator::UsbDevice>> decoys;
};

// The usbredir ports a guest needs to plug any registry row: its decoys and
// its cameras at once.
std::size_t usb_ports_for_every_row();

// Replugs the guest's bus with the row's decoys, then its cameras.
PluggedDevices plug_among_decoys(usb_emulator::GuestVm &guest, const registry::Scenario &row);
PluggedDevices plug_among_decoys(usb_emulator::GuestVm &guest,
                                 const std::vector<registry::Decoy> &decoys,
                                 const std::vector<CameraConfig> &cameras);

// Each camera saw the first `transfers_reaching_camera` of the exchange's
// transfers and nothing else; no decoy saw any.
void expect_transfers(const PluggedDevices &plugged, std::size_t transfers_reaching_camera);

// A run as the guest's unprivileged user with every device node at `mode`.
usb_emulator::GuestRunOptions as_user_with_nodes(const char *mode);

// What a registry row plugs into a guest, and as whom it runs there.
std::vector<CameraConfig> configs_of(const registry::Scenario &row);
usb_emulator::GuestRunOptions run_options_of(const registry::Scenario &row);

}  // namespace e2e

#endif
