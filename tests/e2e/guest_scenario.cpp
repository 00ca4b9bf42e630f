// SPDX-License-Identifier: MIT
#include "guest_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace e2e {

std::size_t usb_ports_for_every_row() {
    std::size_t ports = 0;
    for (const registry::Scenario &row : registry::scenarios()) {
        ports = std::max(ports, row.decoys.size() + row.cameras.size());
    }
    return ports;
}

std::vector<std::shared_ptr<usb_emulator::UsbDevice>> PluggedDevices::on_the_bus() const {
    std::vector<std::shared_ptr<usb_emulator::UsbDevice>> devices = decoys;
    devices.insert(devices.end(), cameras.begin(), cameras.end());
    return devices;
}

PluggedDevices devices_of(const registry::Scenario &row, Faults faults) {
    PluggedDevices plugged;
    for (const registry::Decoy &decoy : row.decoys) {
        plugged.decoys.push_back(
            std::make_shared<usb_emulator::Decoy>(decoy.vendor_id, decoy.product_id));
    }
    for (CameraConfig config : configs_of(row)) {
        config.fault_armed = faults == Faults::armed;
        plugged.cameras.push_back(std::make_shared<usb_emulator::Camera>(config));
    }
    return plugged;
}

PluggedDevices plug_row(usb_emulator::GuestVm &guest, const registry::Scenario &row,
                        Faults faults) {
    PluggedDevices plugged = devices_of(row, faults);
    guest.plug(plugged.on_the_bus());
    return plugged;
}

void expect_transfers(const PluggedDevices &plugged, std::size_t transfers_reaching_camera) {
    for (const auto &camera : plugged.cameras) {
        EXPECT_EQ(vendor_transfer_texts(*camera), exchange_setups(transfers_reaching_camera));
    }
    expect_decoys_untouched(plugged);
}

void expect_decoys_untouched(const PluggedDevices &plugged) {
    for (const auto &decoy : plugged.decoys) {
        EXPECT_EQ(vendor_transfer_texts(*decoy), std::vector<std::string>{});
    }
}

void expect_probe_run(const ColumnRun &run, const PluggedDevices &plugged, const TimedRun &timed) {
    const registry::Result &cell = run.row.on(run.stack);
    EXPECT_EQ(timed.run.output, registry::expected_output(cell));
    EXPECT_EQ(timed.run.exit_status, registry::status_seen_by_a_shell(cell));
    EXPECT_EQ(timed.run.errors, "");
    expect_transfers(plugged, cell.transfers_reaching_camera);
    expect_kernel_timeouts(timed, run.row.unanswered);
}

std::vector<CameraConfig> configs_of(const registry::Scenario &row) {
    std::vector<CameraConfig> configs;
    for (const registry::Camera &camera : row.cameras) {
        configs.push_back(config_of(camera));
    }
    return configs;
}

usb_emulator::GuestRunOptions run_options_of(const registry::Scenario &row) {
    usb_emulator::GuestRunOptions options;
    if (!row.node_mode.empty()) {
        options.user = "probe";
        options.node_mode = row.node_mode;
    }
    return options;
}

}  // namespace e2e
