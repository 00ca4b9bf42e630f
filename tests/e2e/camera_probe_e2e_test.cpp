// SPDX-License-Identifier: MIT
// camera-probe, as built, on the real libusb 0.1 inside a umockdev testbed:
// the system's libusb 0.1.12, and under the compat label libusb-compat-0.1.
// Where the two differ, an expectation names each.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "scenarios.h"

namespace e2e {
namespace {

TEST(CameraProbeEndToEnd, OneCameraAmongDecoysGivesTheTypicalOutput) {
    UsbfsTestbed testbed;
    int bus = testbed.add_bus();
    testbed.add_device(bus, kVendorId, 0x2801);  // vendor only
    DeviceRef camera = testbed.add_camera(bus, camera_config(0x00));
    testbed.add_device(bus, 0x04A9, kProductId);  // product only

    ProgramRun run = run_camera_probe(testbed);

    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.process.output, healthy_camera("00"));
    EXPECT_EQ(transfer_texts(testbed, camera), exchange_transfers());
    EXPECT_EQ(unexpected_transfers(testbed, {camera}), std::vector<std::string>{});
    EXPECT_EQ(testbed.camera_register(camera, 0x13), 0x15);
}

TEST(CameraProbeEndToEnd, ProbeByteCarriesFromOneCameraIntoTheNextOnesFailedRead) {
    UsbfsTestbed testbed;
    int first_bus = testbed.add_bus();
    int second_bus = testbed.add_bus();
    CameraConfig stalls_first_read =
        camera_config(0x00, {FaultAction::stall, FaultTarget::first_read});
    testbed.add_device(first_bus, 0x046D, 0xC31C);
    DeviceRef camera_a = testbed.add_camera(first_bus, stalls_first_read);
    testbed.add_device(first_bus, kVendorId, 0x0001);
    testbed.add_device(second_bus, 0x1234, kProductId);
    DeviceRef camera_b = testbed.add_camera(second_bus, stalls_first_read);
    testbed.add_device(second_bus, 0x0BDA, 0x8153);

    ProgramRun run = run_camera_probe(testbed);

    // Whichever camera the library walks first shows the preset space; the
    // other shows the byte the first one's read-back left behind.
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.process.output, kAnnouncement + result_line(-32, expected::kPresetHex) +
                                      result_line(1, expected::kWrittenHex) + kAnnouncement +
                                      result_line(-32, expected::kWrittenHex) +
                                      result_line(1, expected::kWrittenHex));
    EXPECT_EQ(run.transfer_order.size(), 2u);
    EXPECT_EQ(transfer_texts(testbed, camera_a), exchange_transfers());
    EXPECT_EQ(transfer_texts(testbed, camera_b), exchange_transfers());
    EXPECT_EQ(unexpected_transfers(testbed, {camera_a, camera_b}), std::vector<std::string>{});
}

// The registry's usbfs column: each row's cameras beside a healthy camera
// on another bus, which is probed whatever the row's cameras do. Whichever
// the library walks first, the other starts from the probe byte it left.
// What a transfer the camera never answers costs. The emulator answers a
// control ioctl, which carries its timeout, at once with ETIMEDOUT; a URB
// carries none and stays pending until libusb-1.0's own 5 s timer cancels it.
const ByLibusb<double> kSecondsPerUnansweredTransfer{0.0, 5.0};

registry::Stack usbfs_stack() {
    return libusb_under_test() == Libusb::compat ? registry::Stack::usbfs_compat
                                                 : registry::Stack::usbfs_libusb012;
}

class UsbfsColumn : public ::testing::TestWithParam<registry::Scenario> {
  protected:
    static void SetUpTestSuite() { registry::print_not_run_on(usbfs_stack()); }
};

TEST_P(UsbfsColumn, ProbeBesideAHealthyCamera) {
    const registry::Scenario &row = GetParam();
    const registry::Result &cell = row.on(usbfs_stack());
    ASSERT_TRUE(cell.applies()) << cell.not_applicable;
    UsbfsTestbed testbed;
    int first_bus = testbed.add_bus();
    int second_bus = testbed.add_bus();
    for (const registry::Decoy &decoy : row.decoys) {
        testbed.add_device(first_bus, decoy.vendor_id, decoy.product_id);
    }
    std::vector<DeviceRef> cameras;
    for (const registry::Camera &camera : row.cameras) {
        cameras.push_back(testbed.add_camera(first_bus, config_of(camera)));
    }
    const std::uint8_t healthy_register = 0x07;
    DeviceRef healthy = testbed.add_camera(second_bus, camera_config(healthy_register));

    auto started = std::chrono::steady_clock::now();
    ProgramRun run = run_camera_probe(testbed);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;

    ASSERT_EQ(run.transfer_order.size(), cameras.size() + 1);
    registry::Result walked = cell;
    auto healthy_at =
        run.transfer_order[0] == healthy ? walked.cameras.begin() : walked.cameras.end();
    walked.cameras.insert(healthy_at, registry::healthy(healthy_register));
    EXPECT_EQ(run.process.output, registry::expected_output(walked));
    EXPECT_EQ(run.process.exit_status, cell.exit_status);
    for (const DeviceRef &camera : cameras) {
        EXPECT_EQ(transfer_texts(testbed, camera), exchange_transfers());
    }
    EXPECT_EQ(transfer_texts(testbed, healthy), exchange_transfers());
    cameras.push_back(healthy);
    EXPECT_EQ(unexpected_transfers(testbed, cameras), std::vector<std::string>{});
    double waited = row.unanswered * kSecondsPerUnansweredTransfer.on(libusb_under_test());
    EXPECT_GE(took.count(), waited);
    EXPECT_LT(took.count(), waited + 4.0);
}

INSTANTIATE_TEST_SUITE_P(Registry, UsbfsColumn,
                         ::testing::ValuesIn(registry::runs_on(registry::Stack::usbfs_libusb012)),
                         [](const ::testing::TestParamInfo<registry::Scenario> &param) {
                             return param.param.name;
                         });

// libusb 0.1.12 scans /dev/bus/usb: without it, or with a bus there that it
// cannot open, a scan fails. libusb-compat finds devices in sysfs through
// libusb-1.0: no USB filesystem is an empty bus list, and the bus
// directories play no part in the scans.
TEST(CameraProbeEndToEnd, MissingOrBrokenUsbFilesystem) {
    Libusb libusb = libusb_under_test();
    UsbfsTestbed no_usb_filesystem;
    no_usb_filesystem.hide_usb_filesystem();
    ProgramRun no_buses = run_camera_probe(no_usb_filesystem);
    EXPECT_EQ(no_buses.process.output, ByLibusb<std::string>(expected::kNoBuses, "").on(libusb));
    EXPECT_EQ(no_buses.process.exit_status, ByLibusb<int>(255, 0).on(libusb));

    UsbfsTestbed broken_bus;
    DeviceRef camera = broken_bus.add_camera(broken_bus.add_bus(), camera_config(0x00));
    broken_bus.break_bus_directory(2);
    ProgramRun no_devices = run_camera_probe(broken_bus);
    EXPECT_EQ(no_devices.process.output,
              ByLibusb<std::string>(expected::kNoDevices, healthy_camera("00")).on(libusb));
    EXPECT_EQ(no_devices.process.exit_status, ByLibusb<int>(255, 0).on(libusb));
    EXPECT_EQ(transfer_texts(broken_bus, camera),
              ByLibusb<std::vector<std::string>>({}, exchange_transfers()).on(libusb));
}

TEST(CameraProbeEndToEnd, ArgumentsChangeNothing) {
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"--help"}, {"-x", "--cameras", "3"}, {""}, {"/dev/bus/usb/001/002"}};
    for (const std::vector<std::string> &arguments : argument_lists) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        UsbfsTestbed testbed;
        DeviceRef camera = testbed.add_camera(testbed.add_bus(), camera_config(0x31));
        ProgramRun run = run_camera_probe(testbed, arguments);
        EXPECT_EQ(run.process.output, healthy_camera("31"));
        EXPECT_EQ(run.process.exit_status, 0);
        EXPECT_EQ(transfer_texts(testbed, camera), exchange_transfers());
    }
}

// What the reader of standard output has received each time a transfer
// reaches the camera, on a terminal and on a pipe.
struct OutputTiming {
    std::vector<std::string> seen_at_transfer;
    std::string seen_at_exit;
    int exit_status = -1;
};

std::string drain(int fd) {
    std::string text;
    char chunk[256];
    ssize_t got = 0;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

OutputTiming watch_output(int reader, int writer) {
    ::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) | O_NONBLOCK);
    ::fcntl(reader, F_SETFD, FD_CLOEXEC);
    UsbfsTestbed testbed;
    testbed.add_camera(testbed.add_bus(), camera_config(0x00));
    OutputTiming timing;
    std::string seen;
    testbed.set_transfer_observer([&](const DeviceRef &, const ControlTransfer &) {
        seen += drain(reader);
        timing.seen_at_transfer.push_back(seen);
    });
    usb_emulator::ProcessOptions options;
    options.stdout_fd = writer;
    timing.exit_status =
        usb_emulator::run_in_testbed(testbed.root_dir(), camera_probe_command(), options)
            .exit_status;
    testbed.set_transfer_observer(nullptr);
    ::close(writer);
    timing.seen_at_exit = seen + drain(reader);
    ::close(reader);
    return timing;
}

TEST(CameraProbeEndToEnd, OnATerminalEachMessageIsShownBeforeTheNextTransfer) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(slave, &raw), 0);
    ::cfmakeraw(&raw);  // no line-feed translation: the bytes arrive as written
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &raw), 0);

    OutputTiming timing = watch_output(master, slave);

    std::string first_line = kAnnouncement + result_line(1, "00");
    EXPECT_EQ(timing.seen_at_transfer,
              (std::vector<std::string>{kAnnouncement, first_line, first_line}));
    EXPECT_EQ(timing.seen_at_exit, healthy_camera("00"));
    EXPECT_EQ(timing.exit_status, 0);
}

TEST(CameraProbeEndToEnd, OnAPipeOutputIsBufferedUntilExit) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);

    OutputTiming timing = watch_output(pipe_ends[0], pipe_ends[1]);

    EXPECT_EQ(timing.seen_at_transfer, (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(timing.seen_at_exit, healthy_camera("00"));
    EXPECT_EQ(timing.exit_status, 0);
}

TEST(CameraProbeEndToEnd, LargeTopologyIsWalkedCompletely) {
    constexpr int kBuses = 4;
    constexpr int kDevicesPerBus = 120;
    // Cameras at the start, middle and end of buses; none on bus 2.
    const std::vector<std::pair<int, int>> camera_slots = {{1, 0},  {1, 119}, {3, 13}, {3, 64},
                                                           {3, 65}, {4, 77},  {4, 119}};
    const std::uint16_t decoy_ids[][2] = {
        {kVendorId, 0x2801}, {0x05A8, kProductId}, {kProductId, kVendorId}, {0x046D, 0xC31C}};

    UsbfsTestbed testbed;
    std::vector<DeviceRef> cameras;
    for (int bus = 1; bus <= kBuses; ++bus) {
        ASSERT_EQ(testbed.add_bus(), bus);
        for (int slot = 0; slot < kDevicesPerBus; ++slot) {
            bool camera_here = std::find(camera_slots.begin(), camera_slots.end(),
                                         std::make_pair(bus, slot)) != camera_slots.end();
            if (camera_here) {
                cameras.push_back(testbed.add_camera(bus, camera_config(0x00)));
            } else {
                const std::uint16_t *ids = decoy_ids[slot % 4];
                testbed.add_device(bus, ids[0], ids[1]);
            }
        }
    }

    ProgramRun run = run_camera_probe(testbed);

    std::string expected;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        expected += healthy_camera("00");
    }
    EXPECT_EQ(run.process.output, expected);
    EXPECT_EQ(run.process.exit_status, 0);
    for (const DeviceRef &camera : cameras) {
        EXPECT_EQ(transfer_texts(testbed, camera), exchange_transfers()) << camera.devnode;
    }
    EXPECT_EQ(unexpected_transfers(testbed, cameras), std::vector<std::string>{});
}

}  // namespace
}  // namespace e2e
