// SPDX-License-Identifier: MIT
// guest-smoke: boots the vm tests' guest once through the same launcher
// they use and checks what they rely on: the kernel is the image's, the
// xHCI root hub and its node are there, a command's output, error output
// and exit status cross the serial line unchanged (every byte value), the
// unprivileged user is one, an emulated camera enumerates, and the webcam
// driver's orders fail when they cannot be met. Prints each check and the
// wall times; exits 0 when every check passed, 77 when there is no guest
// image to boot. It is the vm label's first test; --arch arm64 checks the
// arm64 guest instead.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera.h"
#include "guest_vm.h"

namespace {

using usb_emulator::GuestCommand;
using usb_emulator::GuestRun;
using usb_emulator::GuestRunOptions;
using usb_emulator::GuestVm;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string file_text(const std::string &path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

// A shell command that prints every byte value once, 0 to 255.
std::string print_every_byte() {
    std::string format;
    char escape[8];
    for (int value = 0; value < 256; ++value) {
        std::snprintf(escape, sizeof escape, "\\%03o", value);
        format += escape;
    }
    return "printf '" + format + "'";
}

std::string every_byte() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

struct Check {
    const char *name;
    GuestCommand command;
    GuestRunOptions options;
    // What the run must give; an empty `output` with `any_output` set is
    // not compared.
    int exit_status;
    std::string output;
    std::string errors;
    bool any_output = false;
};

class Smoke {
  public:
    int failed = 0;

    void report(const char *name, bool ok, const std::string &detail = "") {
        std::printf("check %s %s%s%s\n", name, ok ? "ok" : "FAILED", detail.empty() ? "" : ": ",
                    detail.c_str());
        failed += ok ? 0 : 1;
    }

    void run(GuestVm &vm, const Check &check) {
        GuestRun run = vm.run(check.command, check.options);
        bool ok = run.exit_status == check.exit_status && run.errors == check.errors &&
                  (check.any_output || run.output == check.output);
        std::ostringstream detail;
        if (!ok) {
            detail << "status " << run.exit_status << ", " << run.output.size()
                   << " bytes out, errors '" << run.errors << "'";
        }
        report(check.name, ok, detail.str());
    }
};

// Whether `order` fails with an answer that holds `answer`; `detail` says
// what it did.
template <typename Order>
bool fails_saying(Order order, const std::string &answer, std::string &detail) {
    try {
        order();
        detail = "answered ok";
        return false;
    } catch (const std::runtime_error &error) {
        std::string what = error.what();
        detail = what.substr(0, what.find('\n'));
        return what.find(answer) != std::string::npos;
    }
}

GuestRunOptions as_probe() {
    GuestRunOptions options;
    options.user = "probe";
    return options;
}

}  // namespace

int main(int argc, char **argv) {
    // guest-smoke [--arch ARCH]: the guest of another architecture (arm64).
    std::string arch = "amd64";
    if (argc == 3 && std::string(argv[1]) == "--arch") {
        arch = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: guest-smoke [--arch ARCH]\n");
        return 2;
    }
    usb_emulator::GuestSettings settings;
    try {
        settings = usb_emulator::GuestSettings::from_build(arch);
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "guest-smoke: %s\n", error.what());
        return 2;
    }
    // 77: the vm label's first check reports itself skipped without an image.
    if (std::string missing = settings.missing(); !missing.empty()) {
        std::printf("guest-smoke: cannot boot the guest: no %s\n", missing.c_str());
        return 77;
    }
    std::string image_dir = settings.kernel.substr(0, settings.kernel.find_last_of('/'));
    try {
        GuestVm vm(settings, 1);
        std::vector<Check> checks = {
            {"usb1", vm.add_shell_command("test -e /sys/bus/usb/devices/usb1"), {}, 0, "", ""},
            {"root-hub-node", vm.add_shell_command("test -c /dev/bus/usb/001/001"), {}, 0, "", ""},
            {"applets",
             vm.add_shell_command("for a in sh insmod stty cat wc chmod su sleep poweroff; do "
                                  "command -v $a >/dev/null || echo $a; done"),
             {},
             0,
             "",
             ""},
            {"every-byte-out", vm.add_shell_command(print_every_byte()), {}, 0, every_byte(), ""},
            {"errors-and-status",
             vm.add_shell_command("echo to-stderr >&2; exit 3"),
             {},
             3,
             "",
             "to-stderr\n"},
            {"probe-ids", vm.add_shell_command("id -u; id -g"), as_probe(), 0, "1000\n1000\n", ""},
            {"probe-status", vm.add_shell_command("exit 4"), as_probe(), 4, "", ""},
            {"probe-cannot-read-root", vm.add_shell_command("ls /root 2>/dev/null"), as_probe(), 1,
             "", ""},
        };
        GuestCommand uptime = vm.add_shell_command("cut -d' ' -f1 /proc/uptime");
        GuestCommand camera_listed =
            vm.add_shell_command("cat /sys/bus/usb/devices/*/idVendor | grep -c 05a9");
        GuestCommand empty_driver_list = vm.add_shell_command(": > /lib/modules/driver.order");
        GuestCommand kernel_warnings =
            vm.add_shell_command("dmesg -r | grep -E '^<[0-4]>' | cut -c4-; true");

        Clock::time_point start = Clock::now();
        vm.boot();
        double boot_seconds = seconds_since(start);
        Smoke smoke;
        std::string expected_release = file_text(image_dir + "/kernel-version");
        smoke.report("kernel-version", vm.kernel_release() == expected_release,
                     vm.kernel_release() + " (image: " + expected_release + ")");
        std::string up = vm.run(uptime).output;
        std::printf("guest kernel up %s s at its first command\n",
                    up.substr(0, up.find('\n')).c_str());
        for (const Check &check : checks) {
            smoke.run(vm, check);
        }

        Clock::time_point plugged = Clock::now();
        vm.plug({std::make_shared<usb_emulator::Camera>()});
        double plug_seconds = seconds_since(plugged);
        GuestRun listed = vm.run(camera_listed);
        smoke.report("camera-enumerated", listed.output == "1\n", listed.output);
        // The desktop rows' orders answer a failure as one: a wait for the
        // webcam driver's binding that runs out (no driver is loaded here),
        // and a driver order in an image without the driver's module list.
        std::string detail;
        bool ok = fails_saying([&vm] { vm.wait_for_driver(1, std::chrono::seconds(1)); },
                               "bound failed 0 0", detail);
        smoke.report("bound-wait-runs-out", ok, detail);
        ok = vm.run(empty_driver_list).exit_status == 0 &&
             fails_saying([&vm] { vm.load_driver(); }, "driver failed driver.order", detail);
        smoke.report("driver-without-module-list", ok, detail);
        std::printf("kernel warnings and errors:\n%s", vm.run(kernel_warnings).output.c_str());
        vm.power_off();
        std::printf("guest-smoke: boot %.2f s, camera plugged in %.2f s, %.2f s in all (%s)\n",
                    boot_seconds, plug_seconds, seconds_since(start), settings.kvm ? "KVM" : "TCG");
        std::printf("%d failed\n", smoke.failed);
        return smoke.failed == 0 ? 0 : 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "guest-smoke: %s\n", error.what());
        return 1;
    }
}
