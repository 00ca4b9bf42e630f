// SPDX-License-Identifier: MIT
// emulated-camera: runs a command with emulated USB cameras attached, so
// camera-probe can be seen working without the hardware: under umockdev's
// emulated usbfs, with --vm inside a QEMU guest whose kernel finds the
// cameras on its USB bus through usbredir, or with --wine for a Windows
// program on Windows' USB stack under Wine (libusb0.dll, libusb0.sys and
// Wine's bus driver over the same emulated usbfs), or with --system in a
// Debian system guest where the project's .deb is installed with apt and
// udev, logind and the kernel's driver do what they do on a user's machine.
#include <unistd.h>

#include <glob.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera.h"
#include "testbed_process.h"
#include "usbfs_testbed.h"
#include "wine_session.h"
#ifdef USB_EMULATOR_HAVE_VM
#include "guest_vm.h"
#endif

namespace {

using usb_emulator::Camera;
using usb_emulator::CameraConfig;
using usb_emulator::Decoy;
using usb_emulator::UsbDevice;

constexpr int kUsageError = 2;
constexpr long kMaxCameras = 200;
// QEMU's xHCI offers 15 ports, each emulated device takes one.
constexpr long kMaxVmCameras = 12;
// How long Wine may take to start its services and libusb0.sys the cameras.
constexpr auto kWineStartTimeout = std::chrono::seconds(60);

const char kUsageHead[] =
    "usage: emulated-camera [--vm [--arch ARCH] [--driver] | --wine |\n"
    "                        --system [--release NAME] [--as USER] [--deb FILE]]\n"
    "                       [--cameras N]\n"
    "                       [--register 0xNN] [--fault NAME] [--lie NAME] [--log]\n"
    "                       -- COMMAND [ARGS...]\n"
    "Runs COMMAND with N emulated USB cameras (05a9:2800, default 1) and three other\n"
    "devices (05a9:1234, 046d:2800 and 046d:c31c), and exits with COMMAND's status.\n"
    "  --vm               run COMMAND inside a QEMU guest on Debian's kernel, the\n"
    "                     devices on its xHCI bus through usbredir (without it: on\n"
    "                     emulated usbfs under umockdev)\n"
    "  --wine             run the Windows program COMMAND under Wine on libusb-win32's\n"
    "                     libusb0.dll and libusb0.sys, over Wine's (patched) bus driver\n"
    "                     on the emulated usbfs (make windows-stack builds that stack;\n"
    "                     CAMERA_PROBE_WINE_STACK names another one, WINEDEBUG reaches\n"
    "                     the Wine session)\n"
    "  --system           run COMMAND, a command line of the guest's, in a Debian\n"
    "                     system guest (make system-image) as the user logged in at\n"
    "                     its seat, after installing the .deb of make package there\n"
    "                     with apt and plugging the devices: udev loads the webcam\n"
    "                     driver and logind gives the seat user access, as on a\n"
    "                     user's machine; a --fault waits for the driver's probe\n"
    "  --release NAME     with --system: the guest's Debian release, trixie (13, the\n"
    "                     default), bookworm (12) or forky (testing: the udev of\n"
    "                     Fedora, Arch and openSUSE, no plugdev group, their rule)\n"
    "  --as USER          with --system: run COMMAND as probe (at the seat, the\n"
    "                     default), headless (in the group plugdev, no session),\n"
    "                     outsider (neither) or root\n"
    "  --deb FILE         with --system: the package to install (default: the one\n"
    "                     make package left in the build folder)\n"
    "  --arch ARCH        with --vm: the guest's architecture, amd64 (default) or\n"
    "                     arm64 (Debian's arm64 kernel under qemu-system-aarch64);\n"
    "                     an arm64 guest runs arm64 and armhf programs\n"
    "  --driver           with --vm: load the kernel's webcam driver for the camera\n"
    "                     (gspca_ov519) before plugging the cameras, wait until it\n"
    "                     has bound each one (about 5 s of probing), then run\n"
    "                     COMMAND beside it; a --fault hits COMMAND's transfers,\n"
    "                     not the driver's\n"
    "  --cameras N        number of cameras, 0 to 200 (0 to 12 with --vm)\n"
    "  --register 0xNN    what the cameras' registers hold at first (default 0x00)\n"
    "  --log              print the control transfers each device saw to stderr\n"
    "  --fault NAME       what each camera does wrong (default none):\n";
const char kLieHead[] = "  --lie NAME         how the cameras' descriptors lie:\n";
const char kUsageIndent[] = "                       ";

// The descriptor lies' names, in the device model's order: describe()
// names each lie until it meets a value past the last.
std::vector<std::string> lie_names() {
    std::vector<std::string> names;
    for (int value = 1;; ++value) {
        std::string name = usb_emulator::describe(static_cast<usb_emulator::DescriptorLie>(value));
        if (!usb_emulator::descriptor_lie_named(name)) {
            return names;
        }
        names.push_back(name);
    }
}

// The usage text, its fault and lie names printed from the device model's
// own tables.
std::string usage() {
    std::string text = kUsageHead;
    for (const usb_emulator::NamedFault &fault : usb_emulator::named_faults()) {
        std::string name = fault.name;
        name.resize(std::max<std::size_t>(name.size() + 1, 20), ' ');
        text += kUsageIndent + name + fault.what + "\n";
    }
    text += kLieHead;
    for (const std::string &name : lie_names()) {
        text += kUsageIndent + name + "\n";
    }
    return text;
}

struct Options {
    bool vm = false;
    bool wine = false;
    bool driver = false;
    bool system = false;
    std::string system_user = "probe";
    std::string release;
    std::string deb;
    std::string arch = "amd64";
    long cameras = 1;
    CameraConfig camera;
    bool log = false;
    std::vector<std::string> command;
};

#ifdef USB_EMULATOR_HAVE_VM
bool known_guest_architecture(const std::string &arch) {
    std::vector<std::string> known = usb_emulator::guest_architectures();
    return std::find(known.begin(), known.end(), arch) != known.end();
}
bool known_release(const std::string &release) {
    std::vector<std::string> known = usb_emulator::system_releases();
    return std::find(known.begin(), known.end(), release) != known.end();
}
#else
bool known_guest_architecture(const std::string &arch) {
    return arch == "amd64";
}
bool known_release(const std::string &) {
    return false;
}
#endif

bool parse_number(const char *text, long low, long high, long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

// Takes the option at argv[index] (and its value); false if it is unusable.
bool take_option(char **argv, int argc, int &index, Options &options) {
    std::string option = argv[index];
    const char *value_text = index + 1 < argc ? argv[index + 1] : nullptr;
    long value = 0;
    if (option == "--vm") {
        options.vm = true;
    } else if (option == "--driver") {
        options.driver = true;
    } else if (option == "--wine") {
        options.wine = true;
    } else if (option == "--system") {
        options.system = true;
    } else if (option == "--as" && value_text != nullptr &&
               (std::strcmp(value_text, "probe") == 0 || std::strcmp(value_text, "headless") == 0 ||
                std::strcmp(value_text, "outsider") == 0 || std::strcmp(value_text, "root") == 0)) {
        options.system_user = value_text;
        ++index;
    } else if (option == "--release" && value_text != nullptr && known_release(value_text)) {
        options.release = value_text;
        ++index;
    } else if (option == "--deb" && value_text != nullptr) {
        options.deb = value_text;
        ++index;
    } else if (option == "--arch" && value_text != nullptr &&
               known_guest_architecture(value_text)) {
        options.arch = value_text;
        ++index;
    } else if (option == "--cameras" && value_text != nullptr &&
               parse_number(value_text, 0, kMaxCameras, value)) {
        options.cameras = value;
        ++index;
    } else if (option == "--register" && value_text != nullptr &&
               parse_number(value_text, 0, 0xFF, value)) {
        options.camera.register_value = static_cast<std::uint8_t>(value);
        ++index;
    } else if (option == "--fault" && value_text != nullptr &&
               usb_emulator::fault_named(value_text)) {
        options.camera.fault = *usb_emulator::fault_named(value_text);
        ++index;
    } else if (option == "--lie" && value_text != nullptr &&
               usb_emulator::descriptor_lie_named(value_text)) {
        options.camera.descriptor_lie = *usb_emulator::descriptor_lie_named(value_text);
        ++index;
    } else if (option == "--log") {
        options.log = true;
    } else {
        return false;
    }
    return true;
}

// Returns false, after saying why on stderr, when the arguments are unusable.
bool parse_options(int argc, char **argv, Options &options) {
    int index = 1;
    for (; index < argc; ++index) {
        std::string option = argv[index];
        if (option == "--") {
            ++index;
            break;
        }
        if (option.rfind("-", 0) != 0) {
            break;
        }
        if (!take_option(argv, argc, index, options)) {
            std::fprintf(stderr, "emulated-camera: bad option or value: %s\n", option.c_str());
            return false;
        }
    }
    for (; index < argc; ++index) {
        options.command.emplace_back(argv[index]);
    }
    if (options.command.empty()) {
        std::fprintf(stderr, "emulated-camera: no command given\n");
        return false;
    }
    if ((options.vm ? 1 : 0) + (options.wine ? 1 : 0) + (options.system ? 1 : 0) > 1) {
        std::fprintf(stderr, "emulated-camera: --vm, --wine and --system exclude each other\n");
        return false;
    }
    bool system_option_given =
        options.system_user != "probe" || !options.deb.empty() || !options.release.empty();
    if (!options.system && system_option_given) {
        std::fprintf(stderr, "emulated-camera: --release, --as and --deb need --system\n");
        return false;
    }
    if (options.system && (options.driver || options.arch != "amd64")) {
        std::fprintf(stderr,
                     "emulated-camera: --driver and --arch are --vm's: the system guest is amd64"
                     " and udev loads its driver\n");
        return false;
    }
    if (options.system && options.cameras > kMaxVmCameras) {
        std::fprintf(stderr, "emulated-camera: at most %ld cameras with --system\n", kMaxVmCameras);
        return false;
    }
    if (!options.vm && options.driver) {
        std::fprintf(stderr, "emulated-camera: --driver needs --vm\n");
        return false;
    }
    if (!options.vm && options.arch != "amd64") {
        std::fprintf(stderr, "emulated-camera: --arch needs --vm\n");
        return false;
    }
    if (options.vm && options.cameras > kMaxVmCameras) {
        std::fprintf(stderr, "emulated-camera: at most %ld cameras with --vm\n", kMaxVmCameras);
        return false;
    }
    return true;
}

struct PlannedDevice {
    int bus;  // 1 or 2; the usbfs transport has buses, the wire one bus
    std::shared_ptr<UsbDevice> device;
};

// Three devices that are not the camera come first: one with its vendor ID,
// one with its product ID, one with neither. Cameras alternate between two
// buses after them.
std::vector<PlannedDevice> plan_devices(const Options &options) {
    std::vector<PlannedDevice> devices = {
        {1, std::make_shared<Decoy>(Camera::kVendorId, 0x1234)},
        {1, std::make_shared<Decoy>(0x046D, Camera::kProductId)},
        {2, std::make_shared<Decoy>(0x046D, 0xC31C)},
    };
    // The driver talks to the cameras first: their faults wait for the
    // command's transfers.
    CameraConfig camera_config = options.camera;
    camera_config.fault_armed = !options.driver && !options.system;
    for (long camera = 0; camera < options.cameras; ++camera) {
        devices.push_back({camera % 2 == 0 ? 1 : 2, std::make_shared<Camera>(camera_config)});
    }
    return devices;
}

// On the wire the kernel's enumeration shows too, and there is one bus.
void print_log(const std::vector<PlannedDevice> &devices, bool vm) {
    for (const PlannedDevice &planned : devices) {
        auto transfers = planned.device->transfers();
        std::string where = vm ? "" : " on bus " + std::to_string(planned.bus);
        std::fprintf(stderr, "%04x:%04x%s: %zu control transfer%s\n", planned.device->vendor(),
                     planned.device->product(), where.c_str(), transfers.size(),
                     transfers.size() == 1 ? "" : "s");
        for (const usb_emulator::ControlTransfer &transfer : transfers) {
            std::fprintf(stderr, "  %s\n", usb_emulator::describe(transfer).c_str());
        }
    }
}

// The command's exit status, or what a shell gives when it cannot start.
int command_status(const std::string &command, int exec_error, int exit_status) {
    if (exec_error == 0) {
        return exit_status;
    }
    std::fprintf(stderr, "emulated-camera: cannot run %s: %s\n", command.c_str(),
                 std::strerror(exec_error));
    return exec_error == ENOENT ? 127 : 126;
}

void populate(usb_emulator::UsbfsTestbed &testbed, const std::vector<PlannedDevice> &devices) {
    testbed.add_bus();
    testbed.add_bus();
    for (const PlannedDevice &planned : devices) {
        testbed.add(planned.bus, planned.device);
    }
}

// The command's output goes straight to ours; it may run as long as it likes.
usb_emulator::ProcessOptions passthrough() {
    usb_emulator::ProcessOptions process;
    process.stdout_fd = STDOUT_FILENO;
    process.time_limit = std::chrono::hours(24);
    std::fflush(stdout);
    return process;
}

int run_on_usbfs(const Options &options, const std::vector<PlannedDevice> &devices) {
    usb_emulator::UsbfsTestbed testbed;
    populate(testbed, devices);
    usb_emulator::ProcessResult result =
        usb_emulator::run_in_testbed(testbed.root_dir(), options.command, passthrough());
    return command_status(options.command[0], result.exec_error, result.exit_status);
}

// The session starts inside the testbed, so that Wine's bus driver finds
// the devices, and ends before the testbed goes.
int run_under_wine(const Options &options, const std::vector<PlannedDevice> &devices) {
    usb_emulator::WineStack stack = usb_emulator::WineStack::from_build();
    std::vector<std::string> missing = stack.missing();
    if (!missing.empty()) {
        std::fprintf(stderr,
                     "emulated-camera: no Wine stack at %s (missing %s); make windows-stack"
                     " builds it\n",
                     stack.dir.c_str(), missing.front().c_str());
        return 1;
    }
    usb_emulator::UsbfsTestbed testbed;
    populate(testbed, devices);
    usb_emulator::WineSession session(stack, testbed.root_dir());
    session.start(options.cameras, kWineStartTimeout);
    usb_emulator::ProcessResult result = session.run(options.command, passthrough());
    session.end();
    return command_status(options.command[0], result.exec_error, result.exit_status);
}

#ifdef USB_EMULATOR_HAVE_VM
void arm_faults(const std::vector<PlannedDevice> &devices) {
    for (const PlannedDevice &planned : devices) {
        if (auto camera = std::dynamic_pointer_cast<Camera>(planned.device)) {
            camera->arm_fault();
        }
    }
}

int run_in_vm(const Options &options, const std::vector<PlannedDevice> &devices) {
    std::vector<std::shared_ptr<UsbDevice>> wired;
    for (const PlannedDevice &planned : devices) {
        wired.push_back(planned.device);
    }
    usb_emulator::GuestVm vm(usb_emulator::GuestSettings::from_build(options.arch), wired.size());
    usb_emulator::GuestCommand command = vm.add_command(options.command);
    vm.boot();
    if (options.driver) {
        vm.load_driver();
    }
    vm.plug(wired);
    if (options.driver) {
        vm.wait_for_driver(static_cast<std::size_t>(options.cameras));
        arm_faults(devices);
    }
    usb_emulator::GuestRun run = vm.run(command);
    std::fwrite(run.output.data(), 1, run.output.size(), stdout);
    std::fflush(stdout);
    std::fwrite(run.errors.data(), 1, run.errors.size(), stderr);
    vm.power_off();
    return run.exit_status;
}
// The .deb that make package left in the build folder.
std::string built_package() {
    std::string pattern = std::string(USB_EMULATOR_PACKAGE_DIR) + "/camera-probe_*_amd64.deb";
    glob_t found{};
    std::vector<std::string> debs;
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        debs.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    }
    ::globfree(&found);
    if (debs.size() != 1) {
        throw std::runtime_error("expected one " + pattern + ", found " +
                                 std::to_string(debs.size()) + ": make package builds it");
    }
    return debs.front();
}

std::string shell_words(const std::vector<std::string> &words) {
    std::string line;
    for (const std::string &word : words) {
        line += (line.empty() ? "'" : " '");
        for (char c : word) {
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += "'";
    }
    return line;
}

// Boots the system guest, installs the package with apt as its user would,
// plugs the devices, waits until udev is done with them (the driver bound,
// the seat user's ACL set), then runs the command.
int run_in_system(const Options &options, const std::vector<PlannedDevice> &devices) {
    std::string deb = options.deb.empty() ? built_package() : options.deb;
    std::vector<std::shared_ptr<UsbDevice>> wired;
    for (const PlannedDevice &planned : devices) {
        wired.push_back(planned.device);
    }
    usb_emulator::GuestVm vm(usb_emulator::GuestSettings::system_from_build(
                                 options.release.empty() ? "trixie" : options.release),
                             wired.size());
    usb_emulator::GuestCommand install = usb_emulator::stage_system_package(vm, deb).install;
    usb_emulator::GuestCommand command = vm.add_shell_command(shell_words(options.command));
    vm.boot();
    vm.wait_for_session("probe");
    usb_emulator::GuestRun installed = vm.run(install);
    if (installed.exit_status != 0) {
        std::fwrite(installed.errors.data(), 1, installed.errors.size(), stderr);
        throw std::runtime_error("apt-get could not install " + deb + " in the guest");
    }
    std::fprintf(stderr, "emulated-camera: installed %s with apt in the Debian %s guest\n",
                 deb.c_str(), vm.settings().system_release.c_str());
    vm.plug(wired);
    vm.wait_for_driver(static_cast<std::size_t>(options.cameras));
    vm.settle();
    arm_faults(devices);
    usb_emulator::GuestRunOptions run_options;
    run_options.user = options.system_user;
    usb_emulator::GuestRun run = vm.run(command, run_options);
    std::fwrite(run.output.data(), 1, run.output.size(), stdout);
    std::fflush(stdout);
    std::fwrite(run.errors.data(), 1, run.errors.size(), stderr);
    vm.power_off();
    return run.exit_status;
}
#else
int run_in_system(const Options &, const std::vector<PlannedDevice> &) {
    std::fprintf(stderr,
                 "emulated-camera: built without the QEMU guest (usbredir parser or "
                 "QEMU missing)\n");
    return 1;
}

int run_in_vm(const Options &, const std::vector<PlannedDevice> &) {
    std::fprintf(stderr,
                 "emulated-camera: built without the QEMU guest (usbredir parser or "
                 "QEMU missing)\n");
    return 1;
}
#endif

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fputs(usage().c_str(), stderr);
        return kUsageError;
    }
    try {
        std::vector<PlannedDevice> devices = plan_devices(options);
        int status = options.vm       ? run_in_vm(options, devices)
                     : options.system ? run_in_system(options, devices)
                     : options.wine   ? run_under_wine(options, devices)
                                      : run_on_usbfs(options, devices);
        if (options.log) {
            print_log(devices, options.vm || options.system);
        }
        return status;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "emulated-camera: %s\n", error.what());
        return 1;
    }
}
