// SPDX-License-Identifier: MIT
// camera-probe, as built, on the real libusb 0.1 inside a umockdev testbed:
// the system's libusb 0.1.12, and in the build for the compat label
// libusb-compat-0.1 (from LIBUSB_COMPAT_DIR, first in every program's
// library path). What it prints is its library's usbfs column's.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "process.h"
#include "scenarios.h"

namespace e2e {
namespace {

#ifdef LIBUSB_COMPAT_DIR
constexpr bool kOverLibusbCompat = true;
#else
constexpr bool kOverLibusbCompat = false;
#endif
const registry::Stack kStack =
    kOverLibusbCompat ? registry::Stack::usbfs_compat : registry::Stack::usbfs_libusb012;

// The exchange's first `count` transfers as the camera sees them: libusb
// 0.1.12's control ioctls carry their 5000 ms timeout, libusb-compat's URBs
// none (libusb-1.0 keeps it itself).
std::vector<std::string> exchange_transfers(std::size_t count = 3) {
    return exchange_setups(count, !kOverLibusbCompat);
}

// What a transfer the camera never answers costs. The emulator answers a
// control ioctl, which carries its timeout, at once with ETIMEDOUT; a URB
// carries none and stays pending until libusb-1.0's own 5 s timer cancels it.
constexpr double kSecondsPerUnansweredTransfer = kOverLibusbCompat ? 5.0 : 0.0;

// A crash shows as the signal's status, also under valgrind, which passes
// the signal on; AddressSanitizer reports the library's access itself and
// exits 1.
int exit_status_of(const registry::Result &cell) {
#ifdef CAMERA_PROBE_SANITIZED
    if (cell.crash_signal != 0) {
        return 1;
    }
#endif
    return registry::status_seen_by_a_shell(cell);
}

// A usbfs row: its cameras and decoys on the first bus beside a healthy
// camera on the second, probed whatever the row's cameras do (whichever the
// library walks first, the other starts from the probe byte it left), then
// the row's trouble with the USB file system.
struct UsbfsRow {
    UsbfsTestbed testbed;
    std::vector<DeviceRef> cameras;
    std::optional<DeviceRef> healthy;

    explicit UsbfsRow(const registry::Scenario &row) {
        if (row.usb_filesystem == registry::UsbFilesystem::missing) {
            testbed.hide_usb_filesystem();
            return;
        }
        int first_bus = testbed.add_bus();
        int second_bus = testbed.add_bus();
        cameras = plug_on_bus(testbed, first_bus, row);
        healthy = testbed.add_camera(second_bus, config_of(kHealthyBeside));
        if (row.usb_filesystem == registry::UsbFilesystem::bus_directory_unreadable) {
            testbed.break_bus_directory(second_bus + 1);
        }
    }

    static inline const registry::Camera kHealthyBeside{0x07};
};

class UsbfsColumn : public ::testing::TestWithParam<registry::Scenario> {
  protected:
    static void SetUpTestSuite() { registry::print_not_run_on(kStack); }
};

TEST_P(UsbfsColumn, ProbeBesideAHealthyCamera) {
    const registry::Scenario &row = GetParam();
    const registry::Result &cell = row.on(kStack);
    ASSERT_TRUE(cell.applies()) << cell.not_applicable;
    UsbfsRow plugged(row);

    auto started = std::chrono::steady_clock::now();
    ProgramRun run = run_program(plugged.testbed, camera_probe_command());
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;

    // The healthy camera is probed unless the scan fails or a camera crashes
    // the library; its part of the output stands where the library walked it.
    bool healthy_probed = plugged.healthy && cell.scan_failure.empty() && cell.crash_signal == 0;
    ASSERT_EQ(run.transfer_order.size(), cell.cameras.size() + (healthy_probed ? 1 : 0));
    registry::Result walked = cell;
    std::vector<DeviceRef> probed_beside;
    if (healthy_probed) {
        bool healthy_first = run.transfer_order.front() == *plugged.healthy;
        walked.cameras.insert(healthy_first ? walked.cameras.begin() : walked.cameras.end(),
                              registry::healthy(UsbfsRow::kHealthyBeside.register_value));
        EXPECT_EQ(transfer_texts(plugged.testbed, *plugged.healthy), exchange_transfers());
        probed_beside.push_back(*plugged.healthy);
    }
    EXPECT_EQ(run.process.output, registry::expected_output(walked));
    EXPECT_EQ(run.process.exit_status, exit_status_of(cell));
    expect_only_cameras_saw(plugged.testbed, plugged.cameras,
                            exchange_transfers(cell.transfers_reaching_camera), probed_beside);
    double waited = row.unanswered * kSecondsPerUnansweredTransfer;
    EXPECT_GE(took.count(), waited);
    EXPECT_LT(took.count(), waited + 4.0);
}

// The usbfs column of the library the suite runs on, lying cameras or not:
// the lying ones are a family of their own, for make memcheck to pick.
std::vector<registry::Scenario> usbfs_rows(bool lying) {
    std::vector<registry::Scenario> rows = registry::runs_on(kStack);
    rows.erase(
        std::remove_if(rows.begin(), rows.end(),
                       [lying](const auto &row) { return registry::tells_lies(row) != lying; }),
        rows.end());
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Registry, UsbfsColumn, ::testing::ValuesIn(usbfs_rows(false)),
                         NameOfRun());
INSTANTIATE_TEST_SUITE_P(LyingDevices, UsbfsColumn, ::testing::ValuesIn(usbfs_rows(true)),
                         NameOfRun());

// The typical row, as every test below plugs its camera: what the probe
// prints for one camera on this library.
const registry::Scenario &typical_row() {
    return registry::scenario("OneCameraAmongDecoys");
}
int typical_status() {
    return registry::status_seen_by_a_shell(typical_row().on(kStack));
}
std::string typical_output() {
    return registry::expected_output(typical_row().on(kStack));
}
DeviceRef plug_typical_camera(UsbfsTestbed &testbed, int bus) {
    return testbed.add_camera(bus, config_of(typical_row().cameras.at(0)));
}

TEST(CameraProbeEndToEnd, ArgumentsChangeNothing) {
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"--help"}, {"-x", "--cameras", "3"}, {""}, {"/dev/bus/usb/001/002"}};
    for (const std::vector<std::string> &arguments : argument_lists) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        UsbfsTestbed testbed;
        DeviceRef camera = plug_typical_camera(testbed, testbed.add_bus());
        ProgramRun run = run_program(testbed, camera_probe_command(arguments));
        EXPECT_EQ(run.process.output, typical_output());
        EXPECT_EQ(run.process.exit_status, typical_status());
        EXPECT_EQ(transfer_texts(testbed, camera), exchange_transfers());
    }
}

std::string drain(int fd) {
    std::string text;
    char chunk[256];
    ssize_t got = 0;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

// Runs camera-probe on the typical camera with its standard output on
// `writer`: what the reader had received each time a transfer reached the
// camera. By the exit it has received the typical output, whole.
std::vector<std::string> seen_at_each_transfer(int reader, int writer) {
    ::fcntl(reader, F_SETFL, ::fcntl(reader, F_GETFL) | O_NONBLOCK);
    ::fcntl(reader, F_SETFD, FD_CLOEXEC);
    UsbfsTestbed testbed;
    plug_typical_camera(testbed, testbed.add_bus());
    std::vector<std::string> seen_at_transfer;
    std::string seen;
    testbed.set_transfer_observer([&](const DeviceRef &, const ControlTransfer &) {
        seen += drain(reader);
        seen_at_transfer.push_back(seen);
    });
    usb_emulator::ProcessOptions options;
    options.stdout_fd = writer;
    int status = usb_emulator::run_in_testbed(testbed.root_dir(), camera_probe_command(), options)
                     .exit_status;
    testbed.set_transfer_observer(nullptr);
    ::close(writer);
    EXPECT_EQ(seen + drain(reader), typical_output());
    EXPECT_EQ(status, typical_status());
    ::close(reader);
    return seen_at_transfer;
}

TEST(CameraProbeEndToEnd, OnATerminalEachMessageIsShownBeforeTheNextTransfer) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(slave, &raw), 0);
    ::cfmakeraw(&raw);  // no line-feed translation: the bytes arrive as written
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &raw), 0);

    // Before each transfer, the output up to the line feed that opens the
    // next result line: the announcement, then the first result line, which
    // the write and the read back follow.
    std::string output = typical_output();
    std::string announcement = output.substr(0, output.find('\n'));
    std::string first_line = output.substr(0, output.find('\n', announcement.size() + 1));
    EXPECT_EQ(seen_at_each_transfer(master, slave),
              (std::vector<std::string>{announcement, first_line, first_line}));
}

TEST(CameraProbeEndToEnd, OnAPipeOutputIsBufferedUntilExit) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    EXPECT_EQ(seen_at_each_transfer(pipe_ends[0], pipe_ends[1]),
              (std::vector<std::string>{"", "", ""}));
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
            if (std::count(camera_slots.begin(), camera_slots.end(), std::make_pair(bus, slot))) {
                cameras.push_back(plug_typical_camera(testbed, bus));
            } else {
                const std::uint16_t *ids = decoy_ids[slot % 4];
                testbed.add_device(bus, ids[0], ids[1]);
            }
        }
    }

    ProgramRun run = run_program(testbed, camera_probe_command());

    std::string expected;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        expected += typical_output();
    }
    EXPECT_EQ(run.process.output, expected);
    EXPECT_EQ(run.process.exit_status, typical_status());
    expect_only_cameras_saw(testbed, cameras, exchange_transfers());
}

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
#ifdef CAMERA_PROBE_LSAN_SUPPRESSIONS
    // Built with the sanitizers: the libraries' known leaks are not ours.
    ::setenv("LSAN_OPTIONS", "suppressions=" CAMERA_PROBE_LSAN_SUPPRESSIONS, 0);
#endif
#ifdef LIBUSB_COMPAT_DIR
    const char *library = LIBUSB_COMPAT_DIR "/libusb-0.1.so.4";
    if (::access(library, R_OK) != 0) {
        std::fprintf(stderr, "no libusb-compat at %s\n", library);
        return 1;
    }
    std::string path =
        usb_emulator::with_library_dir_first(usb_emulator::current_environment(), LIBUSB_COMPAT_DIR)
            .back();
    ::setenv("LD_LIBRARY_PATH", path.substr(path.find('=') + 1).c_str(), 1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
