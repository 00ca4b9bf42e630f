// SPDX-License-Identifier: MIT
#include "driver_transfers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace e2e {

using usb_emulator::ControlTransfer;

bool is_sensor_request(const ControlTransfer &transfer, int request, std::uint16_t index) {
    return (transfer.setup.bmRequestType & 0x60) == 0x40 && transfer.setup.bRequest == request &&
           transfer.setup.wIndex == index;
}

namespace {

// A camera that unplugs itself takes the driver's binding with it.
std::size_t cameras_bound_after(const registry::Scenario &row) {
    return static_cast<std::size_t>(std::count_if(
        row.cameras.begin(), row.cameras.end(),
        [](const registry::Camera &camera) { return camera.fault.rfind("unplug", 0) != 0; }));
}

// What the driver's transfers leave in register 0x13 of a camera powered
// up as `config`: its requests replayed on a fresh model of the camera.
std::uint8_t left_in_register(const CameraConfig &config, const std::vector<ControlTransfer> &log) {
    CameraConfig healthy = config;
    healthy.fault = {};
    usb_emulator::Camera replay(healthy);
    for (const ControlTransfer &transfer : log) {
        if (!transfer.setup.is_standard()) {
            replay.control(transfer);
        }
    }
    return replay.register_at(expected::kRegister);
}

}  // namespace

DriverBoundCameras plug_beside_driver(usb_emulator::GuestVm &guest, const registry::Scenario &row) {
    DriverBoundCameras bound;
    bound.plugged = plug_row(guest, row, Faults::held_back);
    auto enumerated = std::chrono::steady_clock::now();
    guest.wait_for_driver(row.cameras.size());
    bound.bind_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - enumerated).count();
    for (const auto &camera : bound.plugged.cameras) {
        bound.driver_transfers.push_back(camera->transfers().size());
        camera->arm_fault();
    }
    return bound;
}

DesktopRowRun run_beside_driver(usb_emulator::GuestVm &guest,
                                const usb_emulator::GuestCommand &probe,
                                const registry::Scenario &row) {
    DesktopRowRun done;
    done.bound = plug_beside_driver(guest, row);
    std::printf("%s: the driver bound %zu camera(s) %.1f s after the guest saw them\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), row.cameras.size(),
                done.bound.bind_seconds);
    done.probe = run_timed(guest, probe, run_options_of(row));
    guest.wait_for_driver(cameras_bound_after(row));
    return done;
}

std::vector<std::uint8_t> expect_desktop_cell(const DesktopRowRun &done,
                                              const registry::Scenario &row,
                                              const registry::Result &cell) {
    std::vector<CameraConfig> cameras = configs_of(row);
    std::vector<std::uint8_t> left;
    for (std::size_t i = 0; i < done.bound.plugged.cameras.size(); ++i) {
        SCOPED_TRACE("camera " + std::to_string(i));
        // The camera's log split where the driver had bound to it.
        std::vector<ControlTransfer> all = done.bound.plugged.cameras[i]->transfers();
        auto bound_at = all.begin() + static_cast<std::ptrdiff_t>(done.bound.driver_transfers[i]);
        std::vector<ControlTransfer> driver(all.begin(), bound_at);
        EXPECT_FALSE(values_written_to(driver, expected::kRegister).empty())
            << "the driver's initialisation never wrote the register camera-probe reads";
        left.push_back(left_in_register(cameras.at(i), driver));
        EXPECT_EQ(vendor_transfer_texts({bound_at, all.end()}),
                  exchange_setups(cell.transfers_reaching_camera));
    }
    expect_decoys_untouched(done.bound.plugged);
    EXPECT_EQ(done.probe.run.output, registry::expected_output(cell, left));
    EXPECT_EQ(done.probe.run.exit_status, registry::status_seen_by_a_shell(cell));
    EXPECT_EQ(done.probe.run.errors, "");
    return left;
}

std::vector<std::uint8_t> values_written_to(const std::vector<ControlTransfer> &log,
                                            std::uint16_t index) {
    std::vector<std::uint8_t> values;
    for (const ControlTransfer &transfer : log) {
        if (is_sensor_request(transfer, expected::kWriteRequest, index)) {
            values.push_back(static_cast<std::uint8_t>(transfer.setup.wValue & 0xFF));
        }
    }
    return values;
}

}  // namespace e2e
