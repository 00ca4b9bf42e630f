// SPDX-License-Identifier: MIT
// What a registry row in a QEMU guest plugs and checks, whichever the
// guest's architecture.
#ifndef CAMERA_PROBE_TESTS_E2E_GUEST_SCENARIO_H
#define CAMERA_PROBE_TESTS_E2E_GUEST_SCENARIO_H

#include <cstddef>
#include <memory>
#include <vector>

#include "expected_output.h"
#include "guest_suite.h"

namespace e2e {

struct PluggedDevices {
    std::vector<std::shared_ptr<usb_emulator::Camera>> cameras;
    std::vector<std::shared_ptr<usb_emulator::UsbDevice>> decoys;  // must not be probed

    // The decoys, then the cameras, as the bus takes them.
    std::vector<std::shared_ptr<usb_emulator::UsbDevice>> on_the_bus() const;
};

// The usbredir ports a guest needs to plug any registry row's devices.
std::size_t usb_ports_for_every_row();

// When a row's camera faults start to hit: at once, or once they are armed,
// after the webcam driver has bound the cameras (it talks to them first).
enum class Faults { armed, held_back };

// The row's decoys and cameras, made to be plugged; plug_row replugs the
// guest's bus with them.
PluggedDevices devices_of(const registry::Scenario &row, Faults faults = Faults::armed);
PluggedDevices plug_row(usb_emulator::GuestVm &guest, const registry::Scenario &row,
                        Faults faults = Faults::armed);

// Each camera saw the first `transfers_reaching_camera` of the exchange's
// transfers and nothing else; no decoy saw any.
void expect_transfers(const PluggedDevices &plugged, std::size_t transfers_reaching_camera);
// No decoy saw a class or vendor request.
void expect_decoys_untouched(const PluggedDevices &plugged);

// camera-probe's run of `run`'s row: the cell's output and exit status,
// nothing on standard error, the transfers that reached each camera, and
// no more time than the kernel's timeouts it waited out.
void expect_probe_run(const ColumnRun &run, const PluggedDevices &plugged, const TimedRun &timed);

// What a registry row plugs into a guest, and as whom it runs there.
std::vector<CameraConfig> configs_of(const registry::Scenario &row);
usb_emulator::GuestRunOptions run_options_of(const registry::Scenario &row);

}  // namespace e2e

#endif
