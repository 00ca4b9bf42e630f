// SPDX-License-Identifier: MIT
// Cost of camera-probe against a bare C walk making the same library calls,
// on a static testbed of 480 devices without a camera: instructions
// (callgrind, deterministic), median wall time over interleaved runs, and
// peak RSS. Then a one-camera run, which must make exactly 3 transfers.
// Usage: camera-probe-bench CAMERA_PROBE BARE_WALK [RUNS]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camera.h"
#include "testbed_process.h"
#include "usbfs_testbed.h"

namespace {

// The emulated camera's IDs, as the hardware gives them.
constexpr std::uint16_t kTargetVendorId = usb_emulator::kCameraVendorId;
constexpr std::uint16_t kTargetProductId = usb_emulator::kCameraProductId;
using usb_emulator::UsbfsTestbed;

constexpr int kBuses = 4;
constexpr int kDevicesPerBus = 120;
constexpr double kInstructionTarget = 1.02;
constexpr double kWallTimeTarget = 1.10;

struct Program {
    std::string name;
    std::string path;
};

std::string temporary_file() {
    char path[] = "/tmp/camera-probe-bench.XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0) {
        std::perror("mkstemp");
        std::exit(1);
    }
    ::close(fd);
    return path;
}

std::string read_file(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs with standard output discarded; a status other than `expected`
// means the measurement is of the wrong thing, so the bench stops.
usb_emulator::ProcessResult run_quietly(const UsbfsTestbed &testbed,
                                        const std::vector<std::string> &argv, int expected) {
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    usb_emulator::ProcessOptions options;
    options.stdout_fd = null_fd;
    options.time_limit = std::chrono::minutes(5);
    usb_emulator::ProcessResult result =
        usb_emulator::run_in_testbed(testbed.root_dir(), argv, options);
    ::close(null_fd);
    if (result.exit_status != expected) {
        std::fprintf(stderr, "bench: %s exited with %d, expected %d\n", argv[0].c_str(),
                     result.exit_status, expected);
        std::exit(1);
    }
    return result;
}

long long callgrind_instructions(const UsbfsTestbed &testbed, const Program &program) {
    std::string log = temporary_file();
    run_quietly(testbed,
                {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                 "--log-file=" + log, program.path},
                0);
    std::string text = read_file(log);
    std::remove(log.c_str());
    std::size_t at = text.find("Collected : ");
    if (at == std::string::npos) {
        std::fprintf(stderr, "bench: no instruction count from callgrind for %s\n",
                     program.name.c_str());
        std::exit(1);
    }
    return std::atoll(text.c_str() + at + std::strlen("Collected : "));
}

long peak_rss_kb(const UsbfsTestbed &testbed, const Program &program) {
    std::string out = temporary_file();
    run_quietly(testbed, {"/usr/bin/time", "-f", "%M", "-o", out, program.path}, 0);
    long kb = std::atol(read_file(out).c_str());
    std::remove(out.c_str());
    return kb;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double seconds_of(const UsbfsTestbed &testbed, const Program &program) {
    auto start = std::chrono::steady_clock::now();
    run_quietly(testbed, {program.path}, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void populate_without_camera(UsbfsTestbed &testbed) {
    const std::uint16_t ids[][2] = {
        {kTargetVendorId, 0x2801}, {0x05A8, kTargetProductId}, {0x046D, 0xC31C}, {0x0BDA, 0x8153}};
    for (int b = 0; b < kBuses; ++b) {
        int bus = testbed.add_bus();
        for (int d = 0; d < kDevicesPerBus; ++d) {
            testbed.add_device(bus, ids[d % 4][0], ids[d % 4][1]);
        }
    }
}

const char *verdict(double ratio, double target) {
    return ratio <= target ? "within target" : "OVER TARGET";
}

// A live testbed: one camera among a few other devices.
bool one_camera_run(const Program &probe) {
    UsbfsTestbed testbed;
    int bus = testbed.add_bus();
    testbed.add_device(bus, kTargetVendorId, 0x2801);
    testbed.add_camera(bus);
    testbed.add_device(bus, 0x046D, kTargetProductId);
    usb_emulator::ProcessResult result =
        usb_emulator::run_in_testbed(testbed.root_dir(), {probe.path});
    std::size_t transfers = 0;
    for (const usb_emulator::DeviceRef &device : testbed.devices()) {
        transfers += testbed.transfers(device).size();
    }
    std::printf("one-camera run: exit status %d, %zu control transfers in all (expected 3)\n",
                result.exit_status, transfers);
    return result.exit_status == 0 && transfers == 3;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: camera-probe-bench CAMERA_PROBE BARE_WALK [RUNS]\n");
        return 2;
    }
    Program probe{"camera-probe", argv[1]};
    Program bare{"bare walk", argv[2]};
    int runs = argc > 3 ? std::max(10, std::atoi(argv[3])) : 15;

    UsbfsTestbed testbed(false);
    populate_without_camera(testbed);
    std::printf("static testbed: %d buses, %d devices, no camera\n", kBuses,
                static_cast<int>(testbed.devices().size()));

    long long probe_instructions = callgrind_instructions(testbed, probe);
    long long bare_instructions = callgrind_instructions(testbed, bare);

    std::vector<double> probe_seconds;
    std::vector<double> bare_seconds;
    seconds_of(testbed, probe);  // warm the page cache for both
    seconds_of(testbed, bare);
    for (int run = 0; run < runs; ++run) {
        probe_seconds.push_back(seconds_of(testbed, probe));
        bare_seconds.push_back(seconds_of(testbed, bare));
    }
    std::vector<double> probe_rss_runs;
    std::vector<double> bare_rss_runs;
    for (int run = 0; run < 5; ++run) {
        probe_rss_runs.push_back(static_cast<double>(peak_rss_kb(testbed, probe)));
        bare_rss_runs.push_back(static_cast<double>(peak_rss_kb(testbed, bare)));
    }
    long probe_rss = static_cast<long>(median(probe_rss_runs));
    long bare_rss = static_cast<long>(median(bare_rss_runs));

    double instruction_ratio =
        static_cast<double>(probe_instructions) / static_cast<double>(bare_instructions);
    double wall_ratio = median(probe_seconds) / median(bare_seconds);
    std::printf("%-28s %16s %16s %8s\n", "", "camera-probe", "bare walk", "ratio");
    std::printf("%-28s %16lld %16lld %8.4f  %s (<= %.2f)\n", "instructions (callgrind)",
                probe_instructions, bare_instructions, instruction_ratio,
                verdict(instruction_ratio, kInstructionTarget), kInstructionTarget);
    std::printf("%-28s %16.2f %16.2f %8.4f  %s (<= %.2f)\n",
                ("median wall ms, " + std::to_string(runs) + " runs").c_str(),
                median(probe_seconds) * 1000, median(bare_seconds) * 1000, wall_ratio,
                verdict(wall_ratio, kWallTimeTarget), kWallTimeTarget);
    // RSS is counted in 4 KiB pages: one page either way is the same.
    std::printf("%-28s %16ld %16ld %8.4f  %s\n", "median peak RSS (KiB), 5 runs", probe_rss,
                bare_rss, static_cast<double>(probe_rss) / static_cast<double>(bare_rss),
                std::labs(probe_rss - bare_rss) <= 4 ? "same, within one page" : "DIFFERS");
    return one_camera_run(probe) ? 0 : 1;
}
