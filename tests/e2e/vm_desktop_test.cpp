// SPDX-License-Identifier: MIT
// camera-probe as on a Linux desktop: the kernel's webcam driver for the
// camera (gspca_ov519) loaded before the cameras are plugged, bound to each
// when camera-probe runs and still afterwards. One boot; every row waits for
// the driver's probe, then arms the cameras' faults so that they hit
// camera-probe's transfers, not the driver's (it reads register 0x13 too).
// Then a video application (v4l2-client) shows what the driver's cache of
// the sensor's registers does to the value camera-probe wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver_transfers.h"
#include "guest_suite.h"

namespace e2e {
namespace {

using usb_emulator::Camera;
using usb_emulator::ControlTransfer;

// A video application's steps, each one run of v4l2-client on the
// camera's node.
struct VideoApplicationStep {
    std::vector<std::string> actions;
    GuestCommand command;
};
VideoApplicationStep autogain_while_idle{{"autogain=0", "autogain=1"}, {}};
VideoApplicationStep stream_on_and_off{{"streamon", "streamoff"}, {}};
VideoApplicationStep autogain_while_streaming{{"streamon", "autogain=0", "autogain=1", "streamoff"},
                                              {}};

class DesktopRows : public GuestColumn<DesktopRows> {
  public:
    static GuestSuitePlan plan() {
        GuestSuitePlan plan = host_guest_plan(registry::Stack::amd64_desktop_libusb012,
                                              registry::Stack::amd64_desktop_compat);
        plan.stage = [](GuestVm &vm) {
            for (VideoApplicationStep *step :
                 {&autogain_while_idle, &stream_on_and_off, &autogain_while_streaming}) {
                std::vector<std::string> argv = {V4L2_CLIENT_BINARY, "/dev/video0"};
                argv.insert(argv.end(), step->actions.begin(), step->actions.end());
                step->command = vm.add_command(argv);
            }
        };
        plan.after_boot = [](GuestVm &vm) { vm.load_driver(); };
        return plan;
    }
};

// Runs one step of the video application, which says "ACTION ok" for each
// action; the transfers it caused.
std::vector<ControlTransfer> run_step(const Camera &camera, const VideoApplicationStep &step) {
    std::size_t before = camera.transfers().size();
    usb_emulator::GuestRun run = DesktopRows::suite().guest().run(step.command);
    std::string said;
    for (const std::string &action : step.actions) {
        said += action + " ok\n";
    }
    EXPECT_EQ(run.output, said);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.exit_status, 0);
    std::vector<ControlTransfer> all = camera.transfers();
    return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
}

template <typename Match>
std::vector<std::string> texts_of(const std::vector<ControlTransfer> &log, Match match) {
    std::vector<std::string> texts;
    for (const ControlTransfer &transfer : log) {
        if (match(transfer)) {
            texts.push_back(usb_emulator::describe(transfer));
        }
    }
    return texts;
}

bool is_vendor_write(const ControlTransfer &transfer) {
    return (transfer.setup.bmRequestType & 0xE0) == 0x40;
}
bool reads_the_register(const ControlTransfer &transfer) {
    return is_sensor_request(transfer, expected::kReadRequest, expected::kRegister);
}
// The driver reads the bridge only to start and stop streaming.
bool reads_the_bridge(const ControlTransfer &transfer) {
    return transfer.setup.bmRequestType == 0xC0 &&
           transfer.setup.bRequest == usb_emulator::CameraChips::kBridgeReadRequest;
}

// The bits of register 0x13 the driver's automatic-gain control sets.
constexpr std::uint8_t kAutogainBits = 0x05;

// After camera-probe's write, the driver's cache still holds `cached` for
// register 0x13, the value its initialisation wrote: a change of automatic
// gain while streaming writes that with its bits changed, without reading
// the register, and camera-probe's value is gone.
void check_driver_cache(const Camera &camera, std::uint8_t cached) {
    using expected::kRegister;
    {
        // Turning automatic gain off makes the driver fetch the exposure
        // (register 0x10) it then holds; nothing is written.
        SCOPED_TRACE("automatic gain set while nothing streams");
        std::vector<ControlTransfer> log = run_step(camera, autogain_while_idle);
        EXPECT_EQ(texts_of(log, is_vendor_write), std::vector<std::string>{});
        EXPECT_EQ(texts_of(log, reads_the_register), std::vector<std::string>{});
    }
    {
        SCOPED_TRACE("streaming started and stopped");
        std::vector<ControlTransfer> log = run_step(camera, stream_on_and_off);
        EXPECT_NE(texts_of(log, reads_the_bridge), std::vector<std::string>{})
            << "streaming never reached the camera";
        EXPECT_EQ(values_written_to(log, kRegister), std::vector<std::uint8_t>{});
        EXPECT_EQ(camera.register_at(kRegister), expected::kWrittenValue);
    }
    {
        SCOPED_TRACE("automatic gain set off and on while streaming");
        std::vector<ControlTransfer> log = run_step(camera, autogain_while_streaming);
        auto off = static_cast<std::uint8_t>(cached & ~kAutogainBits);
        auto on = static_cast<std::uint8_t>(off | kAutogainBits);
        EXPECT_EQ(values_written_to(log, kRegister), (std::vector<std::uint8_t>{off, on}));
        EXPECT_EQ(texts_of(log, reads_the_register), std::vector<std::string>{});
        EXPECT_EQ(camera.register_at(kRegister), on);
    }
}

TEST_P(DesktopRows, ProbeBesideTheKernelsWebcamDriver) {
    const ColumnRun &desktop = GetParam();
    suite().run_row([&] {
        DesktopRowRun done =
            run_beside_driver(suite().guest(), suite().probe_on(desktop.stack), desktop.row);
        std::vector<std::uint8_t> left =
            expect_desktop_cell(done, desktop.row, desktop.row.on(desktop.stack));
        expect_kernel_timeouts(done.probe, desktop.row.unanswered);
        if (desktop.row.video_application_after &&
            desktop.stack == registry::Stack::amd64_desktop_libusb012) {
            SCOPED_TRACE("video application");
            check_driver_cache(*done.bound.plugged.cameras.front(), left.front());
        }
    });
}

INSTANTIATE_TEST_SUITE_P(OneBoot, DesktopRows,
                         ::testing::ValuesIn(column_of(DesktopRows::plan().stacks)), NameOfRun());

// emulated-camera --driver as a user runs it: the driver's probe reaches
// the camera first (its bridge writes, bRequest 10, which camera-probe
// never sends), the fault waits for the command's transfers, which end the
// camera's log (--log, the camera's last), and camera-probe prints what the
// registry's desktop row with that fault says.
TEST(RunnerBesideTheDriver, TheDriverProbesFirstAndTheFaultHitsTheCommand) {
    std::string log_path = ::testing::TempDir() + "emulated-camera-driver.log";
    std::vector<std::string> environment = usb_emulator::current_environment();
    environment.push_back("RUNNER_LOG=" + log_path);
    usb_emulator::ProcessOptions options;
    options.time_limit = std::chrono::minutes(3);
    usb_emulator::ProcessResult run = usb_emulator::run_process(
        {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$RUNNER_LOG\"", EMULATED_CAMERA_BINARY, "--vm",
         "--driver", "--fault", "stall", "--log", "--", CAMERA_PROBE_BINARY},
        environment, options);
    std::ifstream log_file(log_path);
    std::string log((std::istreambuf_iterator<char>(log_file)), std::istreambuf_iterator<char>());
    std::remove(log_path.c_str());

    const registry::Result &cell = registry::scenario("StalledFirstReadBesideTheDriver")
                                       .on(registry::Stack::amd64_desktop_libusb012);
    EXPECT_EQ(run.output, registry::expected_output(cell)) << log;
    EXPECT_EQ(run.exit_status, registry::status_seen_by_a_shell(cell)) << log;
    EXPECT_NE(log.find(" bRequest=10 "), std::string::npos) << "the driver never probed:\n" << log;
    std::string exchange;
    for (const std::string &setup : exchange_setups(cell.transfers_reaching_camera)) {
        exchange += "  " + setup + "\n";
    }
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), exchange.size())), exchange) << log;
}

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    return e2e::run_guest_suite(argc, argv, "vm desktop");
}
