// SPDX-License-Identifier: MIT
// camera-probe as on a Linux desktop: the kernel's own webcam driver for
// the camera (gspca_ov519) loaded in the guest before the cameras are
// plugged, bound to each camera when camera-probe runs beside it, and still
// bound afterwards. One boot; every row plugs its cameras together, waits
// for the driver's probe, then arms the cameras' faults so that they hit
// camera-probe's transfers and not the driver's (the driver reads register
// 0x13 too, with the very same request). After camera-probe, a video
// application (v4l2-client) shows what the driver's cache of the sensor's
// registers does to the value camera-probe wrote.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../missing_piece.h"
#include "driver_transfers.h"
#include "expected_output.h"
#include "guest_scenario.h"
#include "guest_vm.h"

#ifndef CAMERA_PROBE_BINARY
#error "CAMERA_PROBE_BINARY must name the built camera-probe"
#endif
#ifndef V4L2_CLIENT_BINARY
#error "V4L2_CLIENT_BINARY must name the built v4l2-client"
#endif

namespace e2e {
namespace {

using usb_emulator::Camera;
using usb_emulator::ControlTransfer;
using usb_emulator::GuestRunOptions;
using usb_emulator::GuestVm;

// Long enough for the driver's probe and a run that waits out the kernel's
// 5 s timeout under TCG; short enough that a lost guest leaves time for
// the later rows to say where it was lost.
constexpr std::chrono::seconds kRowLimit{60};

// What each camera's register 0x13 held when the driver had bound to it.
using DriverLeft = std::vector<std::uint8_t>;

// A registry row beside the driver, on one library.
struct DesktopRun {
    registry::Scenario row;
    Libusb libusb;
};

void PrintTo(const DesktopRun &run, std::ostream *out) {
    *out << run.row.name << " on " << libusb_name(run.libusb);
}

registry::Stack desktop_stack(Libusb libusb) {
    return libusb == Libusb::compat ? registry::Stack::amd64_desktop_compat
                                    : registry::Stack::amd64_desktop_libusb012;
}

// The registry's rows for the desktop columns this build runs.
std::vector<DesktopRun> desktop_runs() {
    std::vector<Libusb> libraries = {Libusb::original};
#ifdef LIBUSB_COMPAT_DIR
    libraries.push_back(Libusb::compat);
#endif
    std::vector<DesktopRun> runs;
    for (Libusb libusb : libraries) {
        registry::print_not_run_on(desktop_stack(libusb));
        for (const registry::Scenario &row : registry::runs_on(desktop_stack(libusb))) {
            runs.push_back({row, libusb});
        }
    }
    return runs;
}

// The row's cameras, their faults held back until the driver has bound them.
std::vector<CameraConfig> cameras_beside_driver(const registry::Scenario &row) {
    std::vector<CameraConfig> cameras = configs_of(row);
    for (CameraConfig &camera : cameras) {
        camera.fault_armed = false;
    }
    return cameras;
}

// A camera that unplugs itself takes the driver's binding with it.
std::size_t cameras_bound_after(const registry::Scenario &row) {
    std::size_t bound = 0;
    for (const registry::Camera &camera : row.cameras) {
        bound += camera.fault.rfind("unplug", 0) == 0 ? 0 : 1;
    }
    return bound;
}

GuestVm *guest = nullptr;
std::string boot_failure;
// The row the guest stopped answering in; later ones do not wait.
std::string lost_in;
usb_emulator::GuestCommand probe_on[2];

// A video application's steps, each one run of v4l2-client on the
// camera's node: automatic gain set off and on again while nothing
// streams; streaming started and stopped; and automatic gain set off and on
// again while streaming.
struct VideoApplicationStep {
    std::vector<std::string> actions;
    usb_emulator::GuestCommand command;
};
VideoApplicationStep autogain_while_idle{{"autogain=0", "autogain=1"}, {}};
VideoApplicationStep stream_on_and_off{{"streamon", "streamoff"}, {}};
VideoApplicationStep autogain_while_streaming{{"streamon", "autogain=0", "autogain=1", "streamoff"},
                                              {}};

void stage(GuestVm &vm, VideoApplicationStep &step) {
    std::vector<std::string> argv = {V4L2_CLIENT_BINARY, "/dev/video0"};
    argv.insert(argv.end(), step.actions.begin(), step.actions.end());
    step.command = vm.add_command(argv);
}

class DesktopRows : public ::testing::TestWithParam<DesktopRun> {
  protected:
    static void SetUpTestSuite() {
        std::unique_ptr<GuestVm> vm = boot_for_suite(
            [] {
                auto staged = std::make_unique<GuestVm>(usb_emulator::GuestSettings::from_build(),
                                                        usb_ports_for_every_row());
                probe_on[static_cast<int>(Libusb::original)] =
                    staged->add_command({CAMERA_PROBE_BINARY});
#ifdef LIBUSB_COMPAT_DIR
                probe_on[static_cast<int>(Libusb::compat)] = staged->add_command(
                    {CAMERA_PROBE_BINARY},
                    usb_emulator::with_library_dir_first(usb_emulator::current_environment(),
                                                         LIBUSB_COMPAT_DIR));
#endif
                for (VideoApplicationStep *step :
                     {&autogain_while_idle, &stream_on_and_off, &autogain_while_streaming}) {
                    stage(*staged, *step);
                }
                return staged;
            },
            boot_failure);
        if (vm == nullptr) {
            return;
        }
        vm->set_answer_limit(kRowLimit);
        if (load_driver(*vm, boot_failure)) {
            guest = vm.release();
        }
    }
    static void TearDownTestSuite() {
        power_off(guest);
    }
    void SetUp() override {
        ASSERT_NE(guest, nullptr) << boot_failure;
        ASSERT_EQ(lost_in, "") << "not run: the guest was lost in row " << lost_in;
    }
};

double seconds_since(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

struct RowRun {
    DriverBoundCameras bound;
    usb_emulator::GuestRun run;
    double run_seconds = 0;
};

// Plugs the row's cameras together, waits for the driver to bind them all,
// arms their faults and runs camera-probe; then checks the driver still
// holds every camera that did not unplug itself.
std::optional<RowRun> run_row(const DesktopRun &desktop) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    try {
        RowRun done;
        done.bound = plug_beside_driver(*guest, cameras_beside_driver(desktop.row));
        std::printf("%s: the driver bound %zu camera(s) %.1f s after the guest saw them\n",
                    name.c_str(), desktop.row.cameras.size(), done.bound.bind_seconds);
        auto started = std::chrono::steady_clock::now();
        done.run =
            guest->run(probe_on[static_cast<int>(desktop.libusb)], run_options_of(desktop.row));
        done.run_seconds = seconds_since(started);
        guest->wait_for_driver(cameras_bound_after(desktop.row));
        return done;
    } catch (const std::exception &error) {
        lost_in = name;
        ADD_FAILURE() << "row " << name << ": " << error.what();
        return std::nullopt;
    }
}

// The bits of register 0x13 the driver's automatic-gain control sets.
constexpr std::uint8_t kAutogainBits = 0x05;

std::string client_output(const VideoApplicationStep &step) {
    std::string text;
    for (const std::string &action : step.actions) {
        text += action + " ok\n";
    }
    return text;
}

// Runs one step of the video application; the transfers it caused.
std::vector<ControlTransfer> run_step(const Camera &camera, const VideoApplicationStep &step) {
    std::size_t before = camera.transfers().size();
    usb_emulator::GuestRun run = guest->run(step.command);
    EXPECT_EQ(run.output, client_output(step));
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.exit_status, 0);
    std::vector<ControlTransfer> all = camera.transfers();
    return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
}

// After camera-probe's write, the driver's cache still holds `cached` for
// register 0x13, the value its initialisation wrote: a change of automatic
// gain while streaming writes that with its bits changed, without reading
// the register, and camera-probe's value is gone.
void check_driver_cache(const Camera &camera, std::uint8_t cached) {
    const std::uint16_t kRegister = expected::kRegister;
    {
        // Turning automatic gain off makes the driver fetch the exposure
        // (register 0x10) it then holds; nothing is written.
        SCOPED_TRACE("automatic gain set while nothing streams");
        std::vector<ControlTransfer> log = run_step(camera, autogain_while_idle);
        EXPECT_EQ(vendor_writes(log), std::vector<std::string>{});
        EXPECT_FALSE(reads_register(log, kRegister));
    }
    {
        SCOPED_TRACE("streaming started and stopped");
        std::vector<ControlTransfer> log = run_step(camera, stream_on_and_off);
        EXPECT_TRUE(reads_bridge(log)) << "streaming never reached the camera";
        EXPECT_EQ(values_written_to(log, kRegister), std::vector<std::uint8_t>{});
        EXPECT_EQ(camera.register_at(kRegister), expected::kWrittenValue);
    }
    {
        SCOPED_TRACE("automatic gain set off and on while streaming");
        std::vector<ControlTransfer> log = run_step(camera, autogain_while_streaming);
        auto off = static_cast<std::uint8_t>(cached & ~kAutogainBits);
        auto on = static_cast<std::uint8_t>(off | kAutogainBits);
        EXPECT_EQ(values_written_to(log, kRegister), (std::vector<std::uint8_t>{off, on}));
        EXPECT_FALSE(reads_register(log, kRegister));
        EXPECT_EQ(camera.register_at(kRegister), on);
    }
}

TEST_P(DesktopRows, ProbeBesideTheKernelsWebcamDriver) {
    const DesktopRun &desktop = GetParam();
    const registry::Result &cell = desktop.row.on(desktop_stack(desktop.libusb));
    std::vector<CameraConfig> cameras = cameras_beside_driver(desktop.row);
    std::optional<RowRun> done = run_row(desktop);
    if (!done) {
        return;
    }
    const PluggedDevices &plugged = done->bound.plugged;
    DriverLeft left = check_each_camera(done->bound, cameras, cell.transfers_reaching_camera);
    for (const auto &decoy : plugged.decoys) {
        EXPECT_EQ(vendor_transfer_texts(*decoy), std::vector<std::string>{});
    }
    EXPECT_EQ(done->run.output, registry::expected_output(cell, left));
    EXPECT_EQ(done->run.exit_status, cell.exit_status);
    EXPECT_EQ(done->run.errors, "");
    // A camera that never answers costs the kernel's own 5 s timeout.
    if (desktop.row.unanswered > 0) {
        EXPECT_GE(done->run_seconds, 5.0);
        EXPECT_LT(done->run_seconds, 15.0);
    } else {
        EXPECT_LT(done->run_seconds, 5.0);
    }
    if (desktop.row.video_application_after && desktop.libusb == Libusb::original) {
        try {
            check_driver_cache(*plugged.cameras.front(), left.front());
        } catch (const std::exception &error) {
            lost_in = ::testing::UnitTest::GetInstance()->current_test_info()->name();
            ADD_FAILURE() << "video application: " << error.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OneBoot, DesktopRows, ::testing::ValuesIn(desktop_runs()),
                         [](const ::testing::TestParamInfo<DesktopRun> &param) {
                             return param.param.row.name + (param.param.libusb == Libusb::compat
                                                                ? "OverLibusbCompat"
                                                                : "");
                         });

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string missing = usb_emulator::GuestSettings::from_build().missing();
    if (!missing.empty()) {
        return camera_probe_tests::report_missing_piece("vm desktop", missing);
    }
    return RUN_ALL_TESTS();
}
