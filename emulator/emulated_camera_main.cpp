// SPDX-License-Identifier: MIT
// emulated-camera: runs a command with emulated USB cameras attached, so
// camera-probe can be seen working without the hardware.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testbed_process.h"
#include "usb_testbed.h"

namespace {

using usb_emulator::CameraConfig;
using usb_emulator::CameraFault;
using usb_emulator::UsbTestbed;

constexpr int kUsageError = 2;
constexpr long kMaxCameras = 200;

const char kUsage[] =
    "usage: emulated-camera [--cameras N] [--register 0xNN] [--fail-first-read] [--log]\n"
    "                       -- COMMAND [ARGS...]\n"
    "Runs COMMAND with N emulated USB cameras (05a9:2800, default 1) and a few other\n"
    "devices on emulated USB buses, and exits with COMMAND's status.\n"
    "  --cameras N        number of cameras, 0 to 200\n"
    "  --register 0xNN    what the cameras' registers hold at first (default 0x00)\n"
    "  --fail-first-read  each camera stalls its first vendor read\n"
    "  --log              print the control transfers each device saw to stderr\n";

struct Options {
    long cameras = 1;
    CameraConfig camera;
    bool log = false;
    std::vector<std::string> command;
};

bool parse_number(const char *text, long low, long high, long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

// Returns false, after saying why on stderr, when the arguments are unusable.
bool parse_options(int argc, char **argv, Options &options) {
    int index = 1;
    for (; index < argc; ++index) {
        std::string option = argv[index];
        bool has_value = index + 1 < argc;
        long value = 0;
        if (option == "--") {
            ++index;
            break;
        } else if (option == "--cameras" && has_value &&
                   parse_number(argv[index + 1], 0, kMaxCameras, value)) {
            options.cameras = value;
            ++index;
        } else if (option == "--register" && has_value &&
                   parse_number(argv[index + 1], 0, 0xFF, value)) {
            options.camera.register_value = static_cast<std::uint8_t>(value);
            ++index;
        } else if (option == "--fail-first-read") {
            options.camera.fault = CameraFault::stalled_read;
            options.camera.fault_first_read_only = true;
        } else if (option == "--log") {
            options.log = true;
        } else if (option.rfind("-", 0) == 0) {
            std::fprintf(stderr, "emulated-camera: bad option or value: %s\n", option.c_str());
            return false;
        } else {
            break;
        }
    }
    for (; index < argc; ++index) {
        options.command.emplace_back(argv[index]);
    }
    if (options.command.empty()) {
        std::fprintf(stderr, "emulated-camera: no command given\n");
        return false;
    }
    return true;
}

// Two buses; cameras alternate between them, after devices that share
// only the vendor or only the product ID with the camera.
void populate(UsbTestbed &testbed, const Options &options) {
    int first = testbed.add_bus();
    int second = testbed.add_bus();
    testbed.add_device(first, 0x05A9, 0x1234);
    testbed.add_device(first, 0x046D, 0x2800);
    testbed.add_device(second, 0x046D, 0xC31C);
    for (long camera = 0; camera < options.cameras; ++camera) {
        testbed.add_camera(camera % 2 == 0 ? first : second, options.camera);
    }
}

void print_log(const UsbTestbed &testbed) {
    for (const usb_emulator::DeviceRef &device : testbed.devices()) {
        auto transfers = testbed.transfers(device);
        std::fprintf(stderr, "%s %04x:%04x: %zu control transfer%s\n", device.devnode.c_str(),
                     device.vendor, device.product, transfers.size(),
                     transfers.size() == 1 ? "" : "s");
        for (const usb_emulator::ControlTransfer &transfer : transfers) {
            std::fprintf(stderr, "  %s\n", usb_emulator::describe(transfer).c_str());
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    try {
        UsbTestbed testbed;
        populate(testbed, options);
        usb_emulator::ProcessOptions process;
        process.stdout_fd = STDOUT_FILENO;
        process.time_limit = std::chrono::hours(24);
        std::fflush(stdout);
        usb_emulator::ProcessResult result =
            usb_emulator::run_in_testbed(testbed.root_dir(), options.command, process);
        if (options.log) {
            print_log(testbed);
        }
        if (result.exec_error != 0) {
            std::fprintf(stderr, "emulated-camera: cannot run %s: %s\n", options.command[0].c_str(),
                         std::strerror(result.exec_error));
            return result.exec_error == ENOENT ? 127 : 126;
        }
        return result.exit_status;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "emulated-camera: %s\n", error.what());
        return 1;
    }
}
