// SPDX-License-Identifier: MIT
// camera-probe.exe on libusb-win32's own libusb0.dll and libusb0.sys under
// Wine, over Wine's patched bus driver and the emulated usbfs; a testbed and
// a Wine session each scenario, as the bus driver takes the devices it finds
// when the session starts. Checked: the output byte for byte (CR LF), the
// status, each camera's vendor requests, none for the decoys, the time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../../missing_piece.h"
#include "expected_output.h"
#include "scenarios.h"
#include "usbfs_testbed.h"
#include "wine_session.h"

#ifndef CAMERA_PROBE_WINDOWS_EXE
#error "CAMERA_PROBE_WINDOWS_EXE must name the Windows build's camera-probe.exe"
#endif

namespace e2e {
namespace {

using usb_emulator::Camera;
using usb_emulator::Decoy;
using usb_emulator::UsbDevice;
using usb_emulator::WineSession;
using usb_emulator::WineStack;

constexpr auto kSessionStartTimeout = std::chrono::seconds(60);
// libusb0.sys's own timeout of camera-probe's transfers.
constexpr double kTransferTimeoutSeconds = expected::kTimeoutMs / 1000.0;
// What a run may take beyond the timeouts it waits out: well under one
// timeout, so that a transfer that waited for one shows.
constexpr double kSlackSeconds = 4.0;

struct ScenarioRun {
    usb_emulator::ProcessResult probe;
    double probe_seconds = 0;
    double session_start_seconds = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The decoys first (they share only the vendor or only the product ID),
// then the cameras, alternating between the two buses.
ScenarioRun run_scenario(const std::vector<std::shared_ptr<UsbDevice>> &decoys,
                         const std::vector<std::shared_ptr<Camera>> &cameras) {
    usb_emulator::UsbfsTestbed testbed;
    int buses[] = {testbed.add_bus(), testbed.add_bus()};
    for (std::size_t i = 0; i < decoys.size(); ++i) {
        testbed.add(buses[i % 2], decoys[i]);
    }
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        testbed.add(buses[i % 2], cameras[i]);
    }
    WineSession session(WineStack::from_build(), testbed.root_dir());
    ScenarioRun run;
    auto started = std::chrono::steady_clock::now();
    session.start(static_cast<long>(cameras.size()), kSessionStartTimeout);
    run.session_start_seconds = seconds_since(started);
    started = std::chrono::steady_clock::now();
    usb_emulator::ProcessOptions options;
    // Far past any bound below: a request left pending for good fails the
    // scenario instead of holding the suite.
    options.time_limit = std::chrono::seconds(30);
    run.probe = session.run({CAMERA_PROBE_WINDOWS_EXE}, options);
    run.probe_seconds = seconds_since(started);
    session.end();
    return run;
}

// The registry's column for libusb-win32's own stack.
class WindowsStack : public ::testing::TestWithParam<registry::Scenario> {
  protected:
    static void SetUpTestSuite() { registry::print_not_run_on(registry::Stack::wine_stack); }
};

TEST_P(WindowsStack, ProbeOnLibusbWin32) {
    const registry::Scenario &row = GetParam();
    const registry::Result &cell = row.on(registry::Stack::wine_stack);
    std::vector<std::shared_ptr<UsbDevice>> decoys;
    for (const registry::Decoy &decoy : row.decoys) {
        decoys.push_back(std::make_shared<Decoy>(decoy.vendor_id, decoy.product_id));
    }
    std::vector<std::shared_ptr<Camera>> cameras;
    for (const registry::Camera &camera : row.cameras) {
        cameras.push_back(std::make_shared<Camera>(config_of(camera)));
    }

    ScenarioRun run = run_scenario(decoys, cameras);
    std::printf("  %s: session up in %.2f s, camera-probe.exe ran %.2f s\n", row.name.c_str(),
                run.session_start_seconds, run.probe_seconds);

    // Standard output is in text mode: each line feed arrives as CR LF.
    EXPECT_EQ(run.probe.output, expected::windows_line_ends(registry::expected_output(cell)));
    EXPECT_EQ(run.probe.exit_status, registry::status_seen_by_a_shell(cell));
    for (const std::shared_ptr<Camera> &camera : cameras) {
        // URBs carry no timeout: libusb0.sys keeps it.
        EXPECT_EQ(vendor_transfer_texts(*camera), exchange_setups());
    }
    for (const std::shared_ptr<UsbDevice> &decoy : decoys) {
        EXPECT_EQ(decoy->transfers().size(), 0u)
            << std::hex << decoy->vendor() << ":" << decoy->product();
    }
    // Each transfer the camera never answers costs libusb0.sys's timeout.
    double waited = row.unanswered * kTransferTimeoutSeconds;
    EXPECT_GE(run.probe_seconds, waited);
    EXPECT_LT(run.probe_seconds, waited + kSlackSeconds);
}

INSTANTIATE_TEST_SUITE_P(Registry, WindowsStack,
                         ::testing::ValuesIn(registry::runs_on(registry::Stack::wine_stack)),
                         [](const ::testing::TestParamInfo<registry::Scenario> &tested) {
                             return tested.param.name;
                         });

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    std::vector<std::string> missing = usb_emulator::WineStack::from_build().missing();
    if (::access(CAMERA_PROBE_WINDOWS_EXE, F_OK) != 0) {
        missing.emplace_back(CAMERA_PROBE_WINDOWS_EXE);
    }
    if (!missing.empty()) {
        return camera_probe_tests::report_missing_piece(
            "windows-stack", missing.front() + " (make windows-stack builds it)");
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
