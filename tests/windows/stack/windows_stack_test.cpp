// SPDX-License-Identifier: MIT
// camera-probe.exe of the Windows build on Windows' own USB stack: the real
// libusb0.dll and libusb0.sys of libusb-win32, under Wine, over Wine's bus
// driver (patched, tests/windows/wine-patches) and the emulated usbfs. Each
// scenario is a testbed of its own with a Wine session inside it, since
// Wine's bus driver takes the devices it finds when the session starts
// (docs/windows.md gives what a session costs). Checked: standard output byte for byte (CR LF),
// the exit status, the vendor requests that reached each camera and that
// the decoys got no transfer at all, and the time the probe took.
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
#include "libusb_win32_results.h"
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
constexpr double kTransferTimeoutSeconds = camera_probe::kTransferTimeoutMs / 1000.0;
// What a run may take beyond the timeouts it waits out: well under one
// timeout, so that a transfer that waited for one shows.
constexpr double kSlackSeconds = 4.0;

struct StackScenario {
    const char *name;
    std::vector<CameraConfig> cameras;
    // Standard output with line feeds; on Windows each arrives as CR LF.
    std::string expected_output;
    // Transfers the camera never answers: each costs libusb0.sys's timeout.
    int unanswered = 0;
};

void PrintTo(const StackScenario &scenario, std::ostream *out) {
    *out << scenario.name;
}

// One healthy camera's part after a faulty first read: the probe byte
// still holds the space it was preset to.
std::string first_read_fails(int result) {
    return kAnnouncement + result_line(result, "20") + result_line(1, "15");
}

// Built when the tests are listed, after the expected texts exist.
std::vector<StackScenario> scenarios() {
    return {
        {"OneCameraAmongDecoys", {camera_config(0x00)}, healthy_camera("00")},
        {"NoCamera", {}, ""},
        {"TwoCameras",
         {camera_config(0x9a), camera_config(0x9a)},
         healthy_camera("9a") + healthy_camera("9a")},
        {"StalledFirstRead",
         {camera_with(FaultAction::stall, FaultTarget::first_read)},
         first_read_fails(libusb_win32::kStalled)},
        {"ZeroLengthFirstRead",
         {camera_with(FaultAction::zero_length, FaultTarget::first_read)},
         first_read_fails(libusb_win32::kNoData)},
        {"UnansweredFirstRead",
         {camera_with(FaultAction::no_answer, FaultTarget::first_read)},
         first_read_fails(libusb_win32::kTimedOut),
         1},
        {"UnpluggedAtFirstRead",
         {camera_with(FaultAction::unplug, FaultTarget::first_read)},
         kAnnouncement + result_line(libusb_win32::kGone, "20") +
             result_line(libusb_win32::kGone, "20")},
        {"UnpluggedDuringTheWrite",
         {camera_with(FaultAction::unplug, FaultTarget::write)},
         kAnnouncement + result_line(1, "00") + result_line(libusb_win32::kGone, "00")},
        {"RejectedWrite",
         {camera_with(FaultAction::stall, FaultTarget::write)},
         kAnnouncement + result_line(1, "00") + result_line(1, "00")},
    };
}

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

class WindowsStack : public ::testing::TestWithParam<StackScenario> {};

TEST_P(WindowsStack, ProbeOnLibusbWin32) {
    const StackScenario &scenario = GetParam();
    std::vector<std::shared_ptr<UsbDevice>> decoys = {
        std::make_shared<Decoy>(kTargetVendorId, 0x1234),
        std::make_shared<Decoy>(0x046D, kTargetProductId),
        std::make_shared<Decoy>(0x046D, 0xC31C),
    };
    std::vector<std::shared_ptr<Camera>> cameras;
    for (const CameraConfig &config : scenario.cameras) {
        cameras.push_back(std::make_shared<Camera>(config));
    }

    ScenarioRun run = run_scenario(decoys, cameras);
    std::printf("  %s: session up in %.2f s, camera-probe.exe ran %.2f s\n", scenario.name,
                run.session_start_seconds, run.probe_seconds);

    EXPECT_EQ(run.probe.output, expected::windows_line_ends(scenario.expected_output));
    EXPECT_EQ(run.probe.exit_status, 0);
    for (const std::shared_ptr<Camera> &camera : cameras) {
        // URBs carry no timeout: libusb0.sys keeps it.
        EXPECT_EQ(vendor_transfer_texts(*camera), exchange_setups());
    }
    for (const std::shared_ptr<UsbDevice> &decoy : decoys) {
        EXPECT_EQ(decoy->transfers().size(), 0u)
            << std::hex << decoy->vendor() << ":" << decoy->product();
    }
    double waited = scenario.unanswered * kTransferTimeoutSeconds;
    EXPECT_GE(run.probe_seconds, waited);
    EXPECT_LT(run.probe_seconds, waited + kSlackSeconds);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, WindowsStack, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<StackScenario> &tested) {
                             return std::string(tested.param.name);
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
