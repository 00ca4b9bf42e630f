// SPDX-License-Identifier: MIT
#include "guest_scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

namespace e2e {

std::unique_ptr<usb_emulator::GuestVm> boot_for_suite(
    const std::function<std::unique_ptr<usb_emulator::GuestVm>()> &prepare, std::string &failure) {
    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<usb_emulator::GuestVm> vm;
    try {
        vm = prepare();
        vm->boot();
    } catch (const std::exception &error) {
        failure = error.what();
        return nullptr;
    }
    std::printf("guest kernel %s booted in %.1f s\n", vm->kernel_release().c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return vm;
}

void power_off(usb_emulator::GuestVm *&guest) {
    if (guest != nullptr) {
        guest->power_off();
    }
    delete guest;
    guest = nullptr;
}

std::size_t usb_ports_for_every_row() {
    std::size_t ports = 0;
    for (const registry::Scenario &row : registry::scenarios()) {
        ports = std::max(ports, row.decoys.size() + row.cameras.size());
    }
    return ports;
}

PluggedDevices plug_among_decoys(usb_emulator::GuestVm &guest, const registry::Scenario &row) {
    return plug_among_decoys(guest, row.decoys, configs_of(row));
}

PluggedDevices plug_among_decoys(usb_emulator::GuestVm &guest,
                                 const std::vector<registry::Decoy> &decoys,
                                 const std::vector<CameraConfig> &cameras) {
    PluggedDevices plugged;
    std::vector<std::shared_ptr<usb_emulator::UsbDevice>> devices;
    for (const registry::Decoy &decoy : decoys) {
        plugged.decoys.push_back(
            std::make_shared<usb_emulator::Decoy>(decoy.vendor_id, decoy.product_id));
        devices.push_back(plugged.decoys.back());
    }
    for (const CameraConfig &config : cameras) {
        plugged.cameras.push_back(std::make_shared<usb_emulator::Camera>(config));
        devices.push_back(plugged.cameras.back());
    }
    guest.plug(devices);
    return plugged;
}

void expect_transfers(const PluggedDevices &plugged, std::size_t transfers_reaching_camera) {
    for (const auto &camera : plugged.cameras) {
        EXPECT_EQ(vendor_transfer_texts(*camera), exchange_setups(transfers_reaching_camera));
    }
    for (const auto &decoy : plugged.decoys) {
        EXPECT_EQ(vendor_transfer_texts(*decoy), std::vector<std::string>{});
    }
}

usb_emulator::GuestRunOptions as_user_with_nodes(const char *mode) {
    usb_emulator::GuestRunOptions options;
    options.user = "probe";
    options.node_mode = mode;
    return options;
}

std::vector<CameraConfig> configs_of(const registry::Scenario &row) {
    std::vector<CameraConfig> configs;
    for (const registry::Camera &camera : row.cameras) {
        configs.push_back(config_of(camera));
    }
    return configs;
}

usb_emulator::GuestRunOptions run_options_of(const registry::Scenario &row) {
    return row.node_mode.empty() ? usb_emulator::GuestRunOptions{}
                                 : as_user_with_nodes(row.node_mode.c_str());
}

}  // namespace e2e
