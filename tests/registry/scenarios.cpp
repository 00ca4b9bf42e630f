// SPDX-License-Identifier: MIT
#include "scenarios.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "../windows/libusb_win32_results.h"
#include "probe_expectations.h"

namespace registry {

const char kUnsetCell[] = "no cell written for this stack";

namespace {

constexpr Column kUsbfsLibusb012{
    "usbfs, libusb 0.1.12",
    "Linux's usbfs, emulated on the host (umockdev), with libusb 0.1.12 (Debian, Ubuntu). The "
    "emulation answers at once where a kernel waits: see the guest's columns for the real "
    "kernel.",
    Audience::users, false};
constexpr Column kUsbfsCompat{
    "usbfs, libusb-compat",
    "The same, with libusb-compat-0.1 over libusb-1.0 (Fedora, Arch, openSUSE), on Linux's device "
    "nodes: [libusb.md](libusb.md).",
    Audience::users, false};
constexpr Column kAmd64GuestLibusb012{
    "amd64 guest, libusb 0.1.12",
    "Debian's own amd64 kernel in a QEMU guest, the cameras on its xHCI bus: what a Linux PC "
    "answers, with libusb 0.1.12.",
    Audience::users, false};
constexpr Column kAmd64GuestCompat{"amd64 guest, libusb-compat",
                                   "The same kernel with libusb-compat-0.1.", Audience::users,
                                   false};
constexpr Column kArm64GuestArm64{
    "arm64 guest, arm64 build",
    "Debian's arm64 kernel in a QEMU guest, the arm64 package's build: [arm.md](arm.md).",
    Audience::users, false};
constexpr Column kArm64GuestArmhf{"arm64 guest, armhf build",
                                  "The same kernel, the armhf package's build (32-bit user space).",
                                  Audience::users, false};
constexpr Column kWineStack{"Windows, libusb-win32",
                            "Windows: libusb-win32's own libusb0.dll and libusb0.sys, under Wine: "
                            "[windows.md](windows.md). Each line ends in CR LF there.",
                            Audience::users, false};
constexpr Column kLibusb0Double{
    "libusb0.dll double",
    "camera-probe.exe against the tests' libusb0.dll double, which plays a script: the library "
    "failures libusb-win32's own stack cannot be made to give, with Windows' exit status.",
    Audience::tests, false};
constexpr Column kLibusb1Client{
    "libusb-1.0 client",
    "The tests' libusb-1.0 client, which runs the same exchange: the URBs libusb-compat-0.1 "
    "sends.",
    Audience::tests, false};
constexpr Column kFakeLibusb{
    "fake libusb",
    "The tool's code against the unit tests' in-memory libusb, playing the double's scripts.",
    Audience::tests, false};
constexpr Column kAmd64DesktopLibusb012{
    "amd64 guest with the webcam driver, libusb 0.1.12",
    "A Linux desktop: the amd64 guest with the kernel's webcam driver for this camera "
    "(gspca_ov519) bound to it. The first read shows what the driver's initialisation left in "
    "register 0x13: 0x27 for a camera that powers up with 0x00, 0xbf for one with 0x9a. Why, "
    "what the driver may later write over the 0x15, and how to read without it: the README's "
    "section on the driver.",
    Audience::users, true};
constexpr Column kAmd64DesktopCompat{"amd64 guest with the webcam driver, libusb-compat",
                                     "The same desktop with libusb-compat-0.1.", Audience::users,
                                     true};
constexpr Column kArm64DesktopArm64{
    "arm64 guest with the webcam driver, arm64 build",
    "The arm64 guest with the same driver (a Raspberry Pi desktop has it), the arm64 package's "
    "build.",
    Audience::users, true};
constexpr Column kArm64DesktopArmhf{"arm64 guest with the webcam driver, armhf build",
                                    "The same, the armhf package's build.", Audience::users, true};
#define CAMERA_PROBE_SYSTEM_ABOUT                                                                \
    " in a QEMU guest on the release's own kernel: systemd, udev and logind, the package of "    \
    "`make package` installed with apt from its file, libusb-0.1-4 from an archive of the "      \
    "release's packages, Debian's libusb 0.1.12. udev loads the webcam driver when the camera "  \
    "is plugged in (so the first read shows what it left, as on the desktop), and the rule "     \
    "gives access: `probe` is logged in at the seat (logind's ACL), `headless` is in the group " \
    "plugdev where there is one and has no session or, over ssh, one without a seat, and "       \
    "`outsider` is neither. The row's name says what was done before the run; who may use the "  \
    "camera, and how to read it without the driver: the README."
const char kSystemRowsAlone[] =
    "the system guests run the rows about the installed package, udev, logind and its users; "
    "the busybox guests' columns run the camera's own behaviour";
constexpr Column kAmd64SystemTrixie{
    "Debian 13 system guest, the package installed, libusb 0.1.12",
    "A Debian 13 (trixie) system as a user has it, kernel 6.12" CAMERA_PROBE_SYSTEM_ABOUT,
    Audience::users, false, kSystemRowsAlone};
constexpr Column kAmd64SystemBookworm{
    "Debian 12 system guest, the package installed, libusb 0.1.12",
    "A Debian 12 (bookworm) system as a user has it, kernel 6.1" CAMERA_PROBE_SYSTEM_ABOUT,
    Audience::users, false, kSystemRowsAlone};
constexpr Column kAmd64SystemForky{
    "udev of Fedora, Arch and openSUSE (Debian testing), their rule, no plugdev",
    "Debian testing (forky), whose udev is as new as Fedora's, Arch's and openSUSE's, with no "
    "group named plugdev, as on those systems, and after the install the rule the RPM and the "
    "Arch package install in place of the .deb's" CAMERA_PROBE_SYSTEM_ABOUT,
    Audience::users, false, kSystemRowsAlone};
#undef CAMERA_PROBE_SYSTEM_ABOUT

}  // namespace

const Column &column(Stack stack) {
    switch (stack) {
        case Stack::usbfs_libusb012:
            return kUsbfsLibusb012;
        case Stack::usbfs_compat:
            return kUsbfsCompat;
        case Stack::amd64_guest_libusb012:
            return kAmd64GuestLibusb012;
        case Stack::amd64_guest_compat:
            return kAmd64GuestCompat;
        case Stack::arm64_guest_arm64:
            return kArm64GuestArm64;
        case Stack::arm64_guest_armhf:
            return kArm64GuestArmhf;
        case Stack::wine_stack:
            return kWineStack;
        case Stack::libusb0_double:
            return kLibusb0Double;
        case Stack::libusb1_client:
            return kLibusb1Client;
        case Stack::fake_libusb:
            return kFakeLibusb;
        case Stack::amd64_desktop_libusb012:
            return kAmd64DesktopLibusb012;
        case Stack::amd64_desktop_compat:
            return kAmd64DesktopCompat;
        case Stack::arm64_desktop_arm64:
            return kArm64DesktopArm64;
        case Stack::arm64_desktop_armhf:
            return kArm64DesktopArmhf;
        case Stack::amd64_system_trixie:
            return kAmd64SystemTrixie;
        case Stack::amd64_system_bookworm:
            return kAmd64SystemBookworm;
        case Stack::amd64_system_forky:
            return kAmd64SystemForky;
    }
    throw std::invalid_argument("no column for stack " + std::to_string(static_cast<int>(stack)));
}

bool driver_bound_on(Stack stack) {
    return column(stack).driver_bound;
}

const char *stack_name(Stack stack) {
    return column(stack).name;
}

std::vector<Decoy> default_decoys() {
    return {{expected::kVendorId, 0x1234}, {0x046D, expected::kProductId}, {0x046D, 0xC31C}};
}

Read delivers(int result, std::uint8_t byte) {
    return Read{result, byte};
}

Read delivers_what_the_driver_left() {
    Read read;
    read.driver_left = true;
    return read;
}

Read keeps(int result) {
    return Read{result, std::nullopt};
}

CameraOutput healthy(std::uint8_t register_value) {
    return CameraOutput{true, delivers(1, register_value), delivers(1, expected::kWrittenValue)};
}

CameraOutput reads(Read first, Read second) {
    return CameraOutput{true, first, second};
}

CameraOutput open_fails() {
    return CameraOutput{false, {}, {}};
}

int status_seen_by_a_shell(const Result &result) {
    return result.exit_status & 0xFF;
}

Result prints(std::vector<CameraOutput> cameras) {
    Result result;
    result.cameras = std::move(cameras);
    return result;
}

Result prints_nothing() {
    return Result{};
}

Result not_applicable(std::string reason) {
    Result result;
    result.not_applicable = std::move(reason);
    return result;
}

namespace {

// The libusb-1.0 client prints libusb-1.0's own codes.
constexpr int kLibusb1NoDevice = -4;
constexpr int kLibusb1Timeout = -7;
constexpr int kLibusb1Pipe = -9;

// Device node modes for a run as the guests' unprivileged user: others may
// read but not write (udev's default), and root only (the kernel's own).
const char kReadOnlyNode[] = "0664";
const char kNoAccessNode[] = "0600";

// The fault of a camera whose reads answer a byte more than they ask for:
// a lie of the lying family, though not in a descriptor.
const char kLongReads[] = "long-reads";
// usbfs's babble: a read answered with more than it asked for.
constexpr int kOverflow = -75;          // EOVERFLOW
constexpr int kSegmentationFault = 11;  // SIGSEGV

// libusb 0.1.12's over-read of a lying configuration, and libusb-compat's
// leak of a device it leaves out, where sanitizers stop the probe.
const char kOverReadInParse[] = "usb_parse_configuration";
const char kLeakInFindDevices[] = "find_devices";

// Why a row leaves a column out.
const char kGuestTime[] =
    "not among the guest's rows: each costs seconds of the guest under TCG, and the kernel "
    "answers this one as a row that runs there";
const char kCompatInGuest[] =
    "libusb-compat runs in the guest only the rows that tell the two libraries apart on the "
    "real kernel";
const char kArmSubset[] =
    "the arm64 guest runs the rows that show its kernel and libusb 0.1.12 answer as on amd64";
const char kInMemory[] =
    "the in-memory libusbs play scripted results; this row is about what a device does on a "
    "real stack";
const char kScriptedOnly[] =
    "only an in-memory libusb can script this: no emulated device makes a library's scan fail, "
    "a write not take or an open fail";
const char kNotOnlyTheDouble[] =
    "libusb-win32's own stack gives these results and the fake libusb plays the script: the "
    "double runs only the library failures a real libusb0.dll cannot be made to give";
const char kNeedsKernelNodes[] =
    "needs the device nodes and permissions of a real kernel (the guests)";
const char kOriginalOverrunsTinyConfiguration[] =
    "libusb 0.1.12's usb_os_find_devices() copies 8 bytes into a 4-byte buffer and asks the node "
    "for (size_t)-4 more, which aborts umockdev's ioctl server in the test's own process";
const char kNoDescriptorReadOnUsbfs[] =
    "the libraries read no descriptor from the device on emulated usbfs: a short answer to "
    "GET_DESCRIPTOR is the kernel's to meet";
const char kKernelRefusesTheDevice[] = "Debian's kernel does not bring such a device up";
const char kKernelMakesTheFilesystem[] =
    "the guest's kernel makes /dev/bus/usb and every bus directory in it";
const char kLinuxLibusb01Scan[] = "only the Linux libusb 0.1 implementations scan /dev/bus/usb";
const char kFailedScansScripted[] = "FailedBusScan and FailedDeviceScan script a failed scan";
const char kLieIsLinux[] = "a descriptor lie is about the Linux kernel and libusb's parsers";
const char kWindowsFaults[] =
    "the Windows stack runs the first-read and write faults; this one adds nothing there";
const char kClientFaults[] =
    "the libusb-1.0 client proves the URB dialect with the faults whose results it names";
const char kNoDriver[] = "the webcam driver is bound only in the desktop rows";
const char kSystemOnly[] =
    "a system row: it needs the package installed with apt, udev, logind and the system's "
    "users, which only the system guest has";
const char kDesktopOnly[] =
    "a desktop row: it runs where the kernel's webcam driver is bound to the camera";
const char kDesktopTime[] =
    "each desktop row costs the driver's probe, about 5.5 s under TCG; libusb 0.1.12 runs it";
const char kArmDesktop[] = "the arm64 guest runs the typical desktop row";
const char kTwoCamerasShowIt[] = "TwoCameras shows a high register byte here";

// A row, cell by cell. A column the row does not write stays without a
// cell, which the registry's own test finds: no column takes another's
// reason. Only a column's own nature decides a cell unasked: a row without
// the webcam driver does not run where the driver is bound, and a desktop
// row runs only there.
class Row {
  public:
    // A row without the webcam driver.
    explicit Row(std::string name) {
        scenario_.name = std::move(name);
        leave_columns_to_their_own_rows();
        for (Stack stack : kStacks) {
            if (!left_to_its_own_rows(stack) && driver_bound_on(stack)) {
                write(stack, not_applicable(kNoDriver));
            }
        }
    }
    // A system row, run as `user`: it runs only in the columns that take
    // their own rows, and writes those itself.
    static Row in_the_system(std::string name, const char *user) {
        Row row;
        row.scenario_.name = std::move(name);
        row.scenario_.system_user = user;
        for (Stack stack : kStacks) {
            if (!left_to_its_own_rows(stack)) {
                row.write(stack, not_applicable(kSystemOnly));
            }
        }
        return row;
    }
    // A desktop row: it runs only where the driver is bound.
    static Row beside_the_driver(std::string name) {
        Row row;
        row.scenario_.name = std::move(name);
        row.leave_columns_to_their_own_rows();
        for (Stack stack : kStacks) {
            if (!left_to_its_own_rows(stack) && !driver_bound_on(stack)) {
                row.write(stack, not_applicable(kDesktopOnly));
            }
        }
        return row;
    }
    Row &then_video_application() {
        scenario_.video_application_after = true;
        return *this;
    }
    Row &plug(std::vector<Camera> cameras) {
        scenario_.cameras = std::move(cameras);
        return *this;
    }
    Row &plug_decoys(std::vector<Decoy> decoys) {
        scenario_.decoys = std::move(decoys);
        return *this;
    }
    Row &unanswered(int transfers) {
        scenario_.unanswered = transfers;
        return *this;
    }
    Row &as_user_with_nodes(const char *mode) {
        scenario_.node_mode = mode;
        return *this;
    }
    Row &with_usb_filesystem(UsbFilesystem filesystem) {
        scenario_.usb_filesystem = filesystem;
        return *this;
    }
    Row &note(std::string text) {
        scenario_.note = std::move(text);
        return *this;
    }
    Row &scripted(std::string script) {
        scenario_.script = std::move(script);
        return *this;
    }
    Row &on(std::initializer_list<Stack> stacks, const Result &result) {
        for (Stack stack : stacks) {
            write(stack, result);
        }
        return *this;
    }
    Row &not_on(std::initializer_list<Stack> stacks, const char *reason) {
        return on(stacks, not_applicable(reason));
    }
    operator Scenario() const { return scenario_; }

  private:
    Row() = default;
    static bool left_to_its_own_rows(Stack stack) {
        return column(stack).other_rows_not_run_because != nullptr;
    }
    void leave_columns_to_their_own_rows() {
        for (Stack stack : kStacks) {
            if (left_to_its_own_rows(stack)) {
                write(stack, not_applicable(column(stack).other_rows_not_run_because));
            }
        }
    }
    // A cell written twice is a slip in the table: it stops every suite.
    void write(Stack stack, const Result &result) {
        if (!scenario_.cells.emplace(stack, result).second) {
            throw std::logic_error("the registry's row " + scenario_.name +
                                   " writes its cell for " + stack_name(stack) + " twice");
        }
    }

    Scenario scenario_;
};

using S = Stack;

constexpr std::initializer_list<Stack> kUsbfs = {S::usbfs_libusb012, S::usbfs_compat};
constexpr std::initializer_list<Stack> kAmd64Guest = {S::amd64_guest_libusb012,
                                                      S::amd64_guest_compat};
constexpr std::initializer_list<Stack> kArmGuest = {S::arm64_guest_arm64, S::arm64_guest_armhf};
// The real kernel with libusb 0.1.12, on either architecture.
constexpr std::initializer_list<Stack> kKernelLibusb012 = {
    S::amd64_guest_libusb012, S::arm64_guest_arm64, S::arm64_guest_armhf};
constexpr std::initializer_list<Stack> kInMemoryLibusbs = {S::libusb0_double, S::fake_libusb};
constexpr std::initializer_list<Stack> kGuests = {S::amd64_guest_libusb012, S::amd64_guest_compat,
                                                  S::arm64_guest_arm64, S::arm64_guest_armhf};
// Every stack with a camera behind it, real or emulated: not the in-memory
// libusbs.
constexpr std::initializer_list<Stack> kDeviceStacks = {
    S::usbfs_libusb012,    S::usbfs_compat,      S::amd64_guest_libusb012,
    S::amd64_guest_compat, S::arm64_guest_arm64, S::arm64_guest_armhf,
    S::wine_stack,         S::libusb1_client};
// The stacks without a real kernel's device nodes and their modes.
constexpr std::initializer_list<Stack> kWithoutKernelNodes = {S::usbfs_libusb012, S::usbfs_compat,
                                                              S::wine_stack,      S::libusb0_double,
                                                              S::libusb1_client,  S::fake_libusb};
// The stacks that plug no lying camera.
constexpr std::initializer_list<Stack> kStacksWithoutLies = {
    S::arm64_guest_arm64, S::arm64_guest_armhf, S::wine_stack,
    S::libusb0_double,    S::libusb1_client,    S::fake_libusb};
constexpr std::initializer_list<Stack> kSystems = {S::amd64_system_trixie, S::amd64_system_bookworm,
                                                   S::amd64_system_forky};
constexpr std::initializer_list<Stack> kSystemsWithPlugdev = {S::amd64_system_trixie,
                                                              S::amd64_system_bookworm};
constexpr std::initializer_list<Stack> kArmDesktops = {S::arm64_desktop_arm64,
                                                       S::arm64_desktop_armhf};

// What libusb-win32 returns (libusb_win32_results.h).
using libusb_win32::kGone;
using libusb_win32::kNoData;
using libusb_win32::kStalled;

Camera camera(std::uint8_t register_value, const char *fault = "none") {
    return Camera{register_value, fault, "none"};
}

Camera lying(const char *lie) {
    return Camera{0x5A, "none", lie};
}

// A camera whose first read fails with `result` and whose write and read
// back go through.
CameraOutput first_read_fails(int result) {
    return reads(keeps(result), delivers(1, expected::kWrittenValue));
}

CameraOutput both_reads_fail(int result) {
    return reads(keeps(result), keeps(result));
}

Result reaching(Result result, std::size_t transfers) {
    result.transfers_reaching_camera = transfers;
    return result;
}

Result stopped_by_sanitizers_in(Result result, const char *function) {
    result.sanitizers_stop_in = function;
    return result;
}

// The library crashes inside usb_find_devices(): nothing is printed, no
// transfer is sent, and the shell sees the signal.
Result crashes_in_the_scan(int signal) {
    Result result = reaching(prints_nothing(), 0);
    result.crash_signal = signal;
    result.exit_status = 128 + signal;
    return result;
}

Result scan_fails(const std::string &message) {
    Result result;
    result.scan_failure = message;
    result.exit_status = expected::kScanFailedExit;
    return result;
}

// The decoys of the in-memory libusbs: a root hub on each bus, and devices
// that share only the vendor or only the product ID with the camera.
const char kInMemoryDecoys[] =
    "bus; device 1d6b:0002; device 05a9:1234; device 046d:2800; bus; device 1d6b:0003; ";

// A lie as the amd64 guest sees it: libusb 0.1.12 reads the node and probes
// the camera; libusb-compat, through sysfs, leaves it out.
Row lie_left_out_by_compat_in_the_guest(const char *name, const char *lie, bool over_read_in_parse,
                                        bool leak_in_compat) {
    Result original = prints({healthy(0x5A)});
    if (over_read_in_parse) {
        original = stopped_by_sanitizers_in(original, kOverReadInParse);
    }
    Result compat = reaching(prints_nothing(), 0);
    if (leak_in_compat) {
        compat = stopped_by_sanitizers_in(compat, kLeakInFindDevices);
    }
    Row row(name);
    row.plug({lying(lie)})
        .on({S::amd64_guest_libusb012}, original)
        .on({S::amd64_guest_compat}, compat)
        .not_on(kStacksWithoutLies, kLieIsLinux);
    return row;
}

// A camera beside the webcam driver: the first read shows what the
// driver's initialisation left in the register, the read back the value
// written.
CameraOutput beside_driver_healthy() {
    return reads(delivers_what_the_driver_left(), delivers(1, expected::kWrittenValue));
}

// The desktop rows: the driver loaded, then the row's cameras plugged
// together and bound by it before camera-probe runs. Their faults hit
// camera-probe's transfers, not the driver's.
void add_desktop_rows(std::vector<Scenario> &rows) {
    const Result one_camera = prints({beside_driver_healthy()});
    rows.push_back(Row::beside_the_driver("OneCameraBesideTheDriver")
                       .plug({camera(0x00)})
                       .then_video_application()
                       .on({S::amd64_desktop_libusb012, S::amd64_desktop_compat}, one_camera)
                       .on(kArmDesktops, one_camera));
    rows.push_back(Row::beside_the_driver("TwoCamerasBesideTheDriver")
                       .plug({camera(0x9A), camera(0x9A)})
                       .on({S::amd64_desktop_libusb012},
                           prints({beside_driver_healthy(), beside_driver_healthy()}))
                       .on({S::amd64_desktop_compat}, not_applicable(kDesktopTime))
                       .on(kArmDesktops, not_applicable(kArmDesktop)));
    rows.push_back(Row::beside_the_driver("StalledFirstReadBesideTheDriver")
                       .plug({camera(0x00, "stall")})
                       .on({S::amd64_desktop_libusb012}, prints({first_read_fails(kStall)}))
                       .on({S::amd64_desktop_compat}, not_applicable(kDesktopTime))
                       .on(kArmDesktops, not_applicable(kArmDesktop)));
    rows.push_back(Row::beside_the_driver("NoAnswerToFirstReadBesideTheDriver")
                       .plug({camera(0x00, "no-answer")})
                       .unanswered(1)
                       .on({S::amd64_desktop_libusb012}, prints({first_read_fails(kTimedOut)}))
                       .on({S::amd64_desktop_compat}, not_applicable(kDesktopTime))
                       .on(kArmDesktops, not_applicable(kArmDesktop)));
    // The unplug cuts camera-probe's first read; the driver lets the camera go.
    rows.push_back(
        Row::beside_the_driver("UnpluggedAtFirstReadBesideTheDriver")
            .plug({camera(0x00, "unplug")})
            .on({S::amd64_desktop_libusb012},
                reaching(prints({reads(keeps(kShutDown), keeps(kNoDevice))}), 1))
            .on({S::amd64_desktop_compat}, reaching(prints({both_reads_fail(kCompatNoDevice)}), 1))
            .on(kArmDesktops, not_applicable(kArmDesktop)));
    rows.push_back(
        Row::beside_the_driver("UserWithReadOnlyNodeBesideTheDriver")
            .plug({camera(0x00)})
            .as_user_with_nodes(kReadOnlyNode)
            .on({S::amd64_desktop_libusb012}, reaching(prints({both_reads_fail(kNotPermitted)}), 0))
            .on({S::amd64_desktop_compat}, reaching(prints({open_fails()}), 0))
            .on(kArmDesktops, not_applicable(kArmDesktop)));
}

// The system rows: a Debian system with the package installed with apt
// (unless a row says otherwise), each row's camera plugged anew, udev and
// logind left to do what they do. A row's name says what was done first;
// the system suite (tests/e2e/system_rows.cpp) does it.
void add_system_rows(std::vector<Scenario> &rows) {
    const char no_plugdev[] = "the system has no group plugdev, as Fedora, Arch and openSUSE";
    const Result driver_then_exchange = prints({beside_driver_healthy()});
    const Result read_only_node = reaching(prints({both_reads_fail(kNotPermitted)}), 0);
    // apt installs the package with the camera plugged, the driver bound:
    // its postinst has udev apply the rule at once, without a replug.
    rows.push_back(Row::in_the_system("InstalledWithTheCameraPlugged", "probe")
                       .plug({camera(0x00)})
                       .on(kSystems, driver_then_exchange));
    // The seat's ACL, from logind, on a node that udev made after the
    // driver's probe: where there is no group plugdev too.
    rows.push_back(Row::in_the_system("SeatUserBesideTheDriverUdevLoaded", "probe")
                       .plug({camera(0x00)})
                       .on(kSystems, driver_then_exchange));
    // No session, so no ACL; the rule's group gives access.
    rows.push_back(Row::in_the_system("PlugdevMemberWithoutASession", "headless")
                       .plug({camera(0x00)})
                       .on(kSystemsWithPlugdev, driver_then_exchange)
                       .on({S::amd64_system_forky}, not_applicable(no_plugdev)));
    // Logged in over ssh from the host: logind's session has no seat, so
    // no ACL; the group gives access.
    rows.push_back(Row::in_the_system("PlugdevMemberOverSsh", "headless")
                       .plug({camera(0x00)})
                       .on(kSystemsWithPlugdev, driver_then_exchange)
                       .on({S::amd64_system_forky}, not_applicable(no_plugdev)));
    // Neither seat nor group: the node is readable, not writable.
    rows.push_back(Row::in_the_system("UserInNoGroupWithoutASession", "outsider")
                       .plug({camera(0x00)})
                       .on(kSystems, read_only_node));
    // Run the moment the camera's node appears after a replug, the driver
    // loaded: the library's scan waits while the driver probes. On 6.1
    // udev applies the rule only after the probe, so the node is still the
    // kernel's own (0600) and libusb 0.1.12 does not see the camera; on
    // 6.12 and later udev gives the node its group and ACL while the driver
    // probes, and the run reads the camera.
    rows.push_back(Row::in_the_system("RunAtOnceAfterAReplugBesideTheDriver", "probe")
                       .plug({camera(0x00)})
                       .on({S::amd64_system_trixie, S::amd64_system_forky}, driver_then_exchange)
                       .on({S::amd64_system_bookworm}, reaching(prints_nothing(), 0)));
    // The blacklist written, then the module unloaded, then a replug: udev
    // leaves the driver out, and the first read is the camera's own value.
    rows.push_back(Row::in_the_system("DriverBlacklistedAndUnloadedThenReplugged", "probe")
                       .plug({camera(0x00)})
                       .on(kSystems, prints({healthy(0x00)})));
    // apt-get purge removes the rule; after a replug udev's defaults leave
    // the node read-only for the seat user (who runs a build of their own).
    rows.push_back(Row::in_the_system("RulePurgedThenReplugged", "probe")
                       .plug({camera(0x00)})
                       .on(kSystems, read_only_node));
}

std::vector<Scenario> build_rows() {
    const Result one_healthy_camera = prints({healthy(0x00)});
    std::vector<Scenario> rows;

    rows.push_back(Row("OneCameraAmongDecoys")
                       .plug({camera(0x00)})
                       .scripted(std::string(kInMemoryDecoys) + "camera 0x00")
                       .on(kUsbfs, one_healthy_camera)
                       .on(kAmd64Guest, one_healthy_camera)
                       .on(kArmGuest, one_healthy_camera)
                       .on({S::wine_stack, S::libusb1_client}, one_healthy_camera)
                       .on({S::fake_libusb}, one_healthy_camera)
                       .not_on({S::libusb0_double}, kNotOnlyTheDouble));
    rows.push_back(Row("NoCamera")
                       .plug({})
                       .scripted("bus; device 1d6b:0002; bus")
                       .on(kUsbfs, prints_nothing())
                       .on({S::wine_stack, S::libusb1_client}, prints_nothing())
                       .on({S::fake_libusb}, prints_nothing())
                       .not_on({S::libusb0_double}, kNotOnlyTheDouble)
                       .not_on(kGuests, kGuestTime));
    rows.push_back(
        Row("TwoCameras")
            .plug({camera(0x9A), camera(0x9A)})
            .scripted("bus; camera 0x9a; bus; camera 0x9a")
            .on(kUsbfs, prints({healthy(0x9A), healthy(0x9A)}))
            .on(kKernelLibusb012, prints({healthy(0x9A), healthy(0x9A)}))
            .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
            .on({S::wine_stack, S::libusb1_client}, prints({healthy(0x9A), healthy(0x9A)}))
            .on({S::fake_libusb}, prints({healthy(0x9A), healthy(0x9A)}))
            .not_on({S::libusb0_double}, kNotOnlyTheDouble));
    rows.push_back(Row("HighRegisterByte")
                       .plug({camera(0x9A)})
                       .on(kUsbfs, prints({healthy(0x9A)}))
                       .on({S::libusb1_client}, prints({healthy(0x9A)}))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kGuests, kTwoCamerasShowIt)
                       .not_on({S::wine_stack}, kTwoCamerasShowIt));
    rows.push_back(Row("StalledFirstRead")
                       .plug({camera(0x00, "stall")})
                       .scripted("bus; camera; reply stall")
                       .on(kUsbfs, prints({first_read_fails(kStall)}))
                       .on(kKernelLibusb012, prints({first_read_fails(kStall)}))
                       .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
                       .on({S::wine_stack}, prints({first_read_fails(kStalled)}))
                       .on({S::libusb1_client}, prints({first_read_fails(kLibusb1Pipe)}))
                       .on({S::fake_libusb}, prints({first_read_fails(kStalled)}))
                       .not_on({S::libusb0_double}, kNotOnlyTheDouble));
    rows.push_back(
        Row("StalledSecondRead")
            .plug({camera(0x00, "stall-second-read")})
            .scripted("bus; camera; reply 1 0x00; reply 0; reply stall")
            .on(kUsbfs, prints({reads(delivers(1, 0x00), keeps(kStall))}))
            .on(kAmd64Guest, prints({reads(delivers(1, 0x00), keeps(kStall))}))
            .on(kArmGuest, prints({reads(delivers(1, 0x00), keeps(kStall))}))
            .on({S::wine_stack}, prints({reads(delivers(1, 0x00), keeps(kStalled))}))
            .on({S::libusb1_client}, prints({reads(delivers(1, 0x00), keeps(kLibusb1Pipe))}))
            .on({S::fake_libusb}, prints({reads(delivers(1, 0x00), keeps(kStalled))}))
            .not_on({S::libusb0_double}, kNotOnlyTheDouble));
    rows.push_back(Row("StalledReads")
                       .plug({camera(0x00, "stall-reads")})
                       .on(kUsbfs, prints({both_reads_fail(kStall)}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kGuests, kGuestTime));
    // Whichever camera comes second shows the byte the first one's read
    // back left behind.
    rows.push_back(
        Row("StalledFirstReadsCarryTheByteIntoTheSecondCamera")
            .plug({camera(0x00, "stall"), camera(0x00, "stall")})
            .on(kUsbfs, prints({first_read_fails(kStall), first_read_fails(kStall)}))
            .on({S::amd64_guest_libusb012},
                prints({first_read_fails(kStall), first_read_fails(kStall)}))
            .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
            .on({S::wine_stack}, not_applicable(kWindowsFaults))
            .on({S::libusb1_client}, not_applicable(kClientFaults))
            .on(kInMemoryLibusbs,
                not_applicable("StalledReadCarriesTheByteIntoTheSecondCamera scripts it"))
            .not_on(kArmGuest, kArmSubset));
    rows.push_back(Row("ZeroLengthFirstRead")
                       .plug({camera(0x00, "zero-length")})
                       .on(kUsbfs, prints({first_read_fails(0)}))
                       .on({S::amd64_guest_libusb012}, prints({first_read_fails(0)}))
                       .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
                       .on({S::wine_stack}, prints({first_read_fails(kNoData)}))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kArmGuest, kArmSubset));
    rows.push_back(Row("ZeroLengthReads")
                       .plug({camera(0x00, "zero-length-reads")})
                       .on(kUsbfs, prints({both_reads_fail(0)}))
                       .on({S::libusb1_client}, prints({both_reads_fail(0)}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kGuests, kGuestTime));
    rows.push_back(Row("NoAnswer")
                       .plug({camera(0x00, "no-answer-at-all")})
                       .unanswered(3)
                       .on(kUsbfs, prints({both_reads_fail(kTimedOut)}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kGuests, kGuestTime));
    rows.push_back(Row("NoAnswerToFirstRead")
                       .plug({camera(0x00, "no-answer")})
                       .unanswered(1)
                       .on(kUsbfs, prints({first_read_fails(kTimedOut)}))
                       .on({S::amd64_guest_libusb012}, prints({first_read_fails(kTimedOut)}))
                       .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
                       .on({S::wine_stack}, prints({first_read_fails(libusb_win32::kTimedOut)}))
                       .on({S::libusb1_client}, prints({first_read_fails(kLibusb1Timeout)}))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kArmGuest, kArmSubset));
    // Once unplugged, a camera stays gone. On the wire the unplug cuts the
    // transfer in flight (ESHUTDOWN), and only that one reaches the camera.
    rows.push_back(
        Row("UnpluggedAtFirstRead")
            .plug({camera(0x00, "unplug")})
            .on({S::usbfs_libusb012}, prints({both_reads_fail(kNoDevice)}))
            .on({S::usbfs_compat}, prints({both_reads_fail(kCompatNoDevice)}))
            .on(kKernelLibusb012, reaching(prints({reads(keeps(kShutDown), keeps(kNoDevice))}), 1))
            .on({S::amd64_guest_compat}, reaching(prints({both_reads_fail(kCompatNoDevice)}), 1))
            .on({S::wine_stack}, prints({both_reads_fail(kGone)}))
            .on({S::libusb1_client}, prints({both_reads_fail(kLibusb1NoDevice)}))
            .on(kInMemoryLibusbs,
                not_applicable("UnpluggedCameraThenAHealthyOne scripts an unplug")));
    rows.push_back(
        Row("UnpluggedDuringTheWrite")
            .plug({camera(0x00, "unplug-at-write")})
            .on({S::usbfs_libusb012}, prints({reads(delivers(1, 0x00), keeps(kNoDevice))}))
            .on({S::usbfs_compat}, prints({reads(delivers(1, 0x00), keeps(kCompatNoDevice))}))
            .on({S::amd64_guest_libusb012},
                reaching(prints({reads(delivers(1, 0x00), keeps(kNoDevice))}), 2))
            .on({S::amd64_guest_compat},
                reaching(prints({reads(delivers(1, 0x00), keeps(kCompatNoDevice))}), 2))
            .on({S::wine_stack}, prints({reads(delivers(1, 0x00), keeps(kGone))}))
            .on({S::libusb1_client}, not_applicable(kClientFaults))
            .on(kInMemoryLibusbs, not_applicable(kInMemory))
            .not_on(kArmGuest, kArmSubset));
    rows.push_back(
        Row("RejectedWrite")
            .plug({camera(0x42, "reject-write")})
            .on(kUsbfs, prints({reads(delivers(1, 0x42), delivers(1, 0x42))}))
            .on({S::amd64_guest_libusb012}, prints({reads(delivers(1, 0x42), delivers(1, 0x42))}))
            .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
            .on({S::wine_stack}, prints({reads(delivers(1, 0x42), delivers(1, 0x42))}))
            .on({S::libusb1_client}, not_applicable(kClientFaults))
            .on(kInMemoryLibusbs, not_applicable(kInMemory))
            .not_on(kArmGuest, kArmSubset));
    rows.push_back(Row("HighByteAndRejectedWrite")
                       .plug({camera(0xC3, "reject-write")})
                       .on(kUsbfs, prints({reads(delivers(1, 0xC3), delivers(1, 0xC3))}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .not_on(kGuests, kGuestTime));
    // libusb 0.1.12 opens a node it may not write read-only; usbfs then
    // refuses every transfer before it reaches the camera. libusb-compat
    // lists the camera from sysfs, and its open fails.
    rows.push_back(Row("UserWithReadOnlyNode")
                       .plug({camera(0x00)})
                       .as_user_with_nodes(kReadOnlyNode)
                       .on(kKernelLibusb012, reaching(prints({both_reads_fail(kNotPermitted)}), 0))
                       .on({S::amd64_guest_compat}, reaching(prints({open_fails()}), 0))
                       .not_on(kWithoutKernelNodes, kNeedsKernelNodes));
    // A node it cannot read hides the camera from libusb 0.1.12.
    rows.push_back(Row("UserWithoutAccessToTheNode")
                       .plug({camera(0x00)})
                       .as_user_with_nodes(kNoAccessNode)
                       .on(kKernelLibusb012, reaching(prints_nothing(), 0))
                       .on({S::amd64_guest_compat}, reaching(prints({open_fails()}), 0))
                       .not_on(kWithoutKernelNodes, kNeedsKernelNodes));
    // Lies. On the testbed each library meets the lie as the device tells
    // it; in the guest only as far as the kernel lets it through: the kernel
    // keeps only the descriptors with a sound bLength and shows that in sysfs.
    const Result lying_camera_probed = prints({healthy(0x5A)});
    const Result left_out = reaching(prints_nothing(), 0);
    rows.push_back(
        lie_left_out_by_compat_in_the_guest("TotalLengthOneByteShort", "total-length-short", true,
                                            true)
            .note("wTotalLength 24, one byte short of its 25; Debian's kernel reads 24 bytes and "
                  "keeps the 18 whose lengths hold, dropping the cut endpoint")
            .on({S::usbfs_libusb012}, lying_camera_probed)
            .on({S::usbfs_compat}, crashes_in_the_scan(kSegmentationFault)));
    rows.push_back(Row("TotalLengthTooLong")
                       .plug({lying("total-length-long")})
                       .note("wTotalLength 64 for 25 bytes; Debian's kernel says \"descriptor too "
                             "short\" and keeps the 25")
                       .on({S::amd64_guest_libusb012},
                           stopped_by_sanitizers_in(lying_camera_probed, kOverReadInParse))
                       .on({S::amd64_guest_compat}, lying_camera_probed)
                       .on(kUsbfs, lying_camera_probed)
                       .not_on(kStacksWithoutLies, kLieIsLinux));
    // libusb-1.0 refuses the wTotalLength of 4 that sysfs still shows.
    rows.push_back(
        lie_left_out_by_compat_in_the_guest("TotalLengthShorterThanItsHeader", "total-length-tiny",
                                            false, false)
            .note("wTotalLength 4, shorter than the configuration descriptor; Debian's kernel "
                  "reads 9 bytes, a configuration without interfaces, and its node shows 4")
            .not_on({S::usbfs_libusb012}, kOriginalOverrunsTinyConfiguration)
            .on({S::usbfs_compat}, left_out));
    rows.push_back(Row("NoConfigurations")
                       .plug({lying("no-configurations")})
                       .note("bNumConfigurations 0; Debian's kernel refuses the device")
                       .on(kUsbfs, lying_camera_probed)
                       .not_on(kAmd64Guest, kKernelRefusesTheDevice)
                       .not_on(kStacksWithoutLies, kLieIsLinux));
    // libusb 0.1.12 leaves the configurations above eight unread; libusb-1.0
    // leaves the device out. The kernel keeps eight of the nine.
    rows.push_back(Row("NineConfigurations")
                       .plug({lying("many-configurations")})
                       .note("nine configurations; Debian's kernel keeps eight")
                       .on(kAmd64Guest, lying_camera_probed)
                       .on({S::usbfs_libusb012}, lying_camera_probed)
                       .on({S::usbfs_compat}, left_out)
                       .not_on(kStacksWithoutLies, kLieIsLinux));
    // libusb-1.0 finds no second configuration and leaves the device out.
    rows.push_back(Row("ClaimsAConfigurationItLacks")
                       .plug({lying("missing-configuration")})
                       .note("bNumConfigurations 2 and one configuration; the device does not "
                             "come up on Debian's kernel")
                       .on({S::usbfs_libusb012}, lying_camera_probed)
                       .on({S::usbfs_compat}, left_out)
                       .not_on(kAmd64Guest, kKernelRefusesTheDevice)
                       .not_on(kStacksWithoutLies, kLieIsLinux));
    // libusb-1.0 cannot parse the configuration; libusb-compat then leaves
    // the device out without freeing it.
    rows.push_back(
        lie_left_out_by_compat_in_the_guest("EndpointOfLengthZero", "endpoint-length-zero", true,
                                            true)
            .note("an endpoint descriptor with bLength 0; Debian's kernel skips the rest of the "
                  "configuration")
            .on({S::usbfs_libusb012}, lying_camera_probed)
            .on({S::usbfs_compat}, left_out));
    rows.push_back(lie_left_out_by_compat_in_the_guest("ConfigurationAnsweredShort",
                                                       "short-configuration-answer", true, true)
                       .note("GET_DESCRIPTOR answers 18 of the configuration's 25 bytes; Debian's "
                             "kernel says \"descriptor too short\" and keeps 18")
                       .not_on(kUsbfs, kNoDescriptorReadOnUsbfs));
    // On usbfs both reads fail as babble: EOVERFLOW, which libusb-compat
    // passes on from libusb-1.0's LIBUSB_ERROR_OVERFLOW. On the wire QEMU's
    // host controller keeps the byte asked for and drops the other.
    rows.push_back(Row("ReadsAnsweredWithAByteTooMany")
                       .plug({camera(0x5A, kLongReads)})
                       .note("each read answered with 2 bytes to its 1")
                       .on(kAmd64Guest, lying_camera_probed)
                       .on(kUsbfs, prints({both_reads_fail(kOverflow)}))
                       .not_on(kStacksWithoutLies, kLieIsLinux));
    // The USB file system itself: libusb 0.1.12 scans /dev/bus/usb, and fails
    // without it or on a bus there it cannot open; libusb-compat finds the
    // devices in sysfs through libusb-1.0: no USB file system is an empty
    // bus list, and the bus directories play no part.
    rows.push_back(Row("NoUsbFilesystem")
                       .plug({})
                       .plug_decoys({})
                       .with_usb_filesystem(UsbFilesystem::missing)
                       .note("no /dev/bus/usb, as in most containers")
                       .on({S::usbfs_libusb012}, scan_fails(expected::kNoBuses))
                       .on({S::usbfs_compat}, prints_nothing())
                       .not_on(kGuests, kKernelMakesTheFilesystem)
                       .not_on({S::wine_stack, S::libusb1_client}, kLinuxLibusb01Scan)
                       .not_on(kInMemoryLibusbs, kFailedScansScripted));
    rows.push_back(Row("UnreadableBusDirectory")
                       .plug({camera(0x00)})
                       .with_usb_filesystem(UsbFilesystem::bus_directory_unreadable)
                       .note("a bus listed in /dev/bus/usb whose directory cannot be opened")
                       .on({S::usbfs_libusb012}, reaching(scan_fails(expected::kNoDevices), 0))
                       .on({S::usbfs_compat}, prints({healthy(0x00)}))
                       .not_on(kGuests, kKernelMakesTheFilesystem)
                       .not_on({S::wine_stack, S::libusb1_client}, kLinuxLibusb01Scan)
                       .not_on(kInMemoryLibusbs, kFailedScansScripted));
    // What only the in-memory libusbs can script.
    rows.push_back(Row("FailedBusScan")
                       .plug({camera(0x00)})
                       .scripted("scan -1 1; bus; camera")
                       .on(kInMemoryLibusbs, scan_fails(expected::kNoBuses))
                       .not_on(kDeviceStacks, kScriptedOnly));
    rows.push_back(Row("FailedDeviceScan")
                       .plug({camera(0x00)})
                       .scripted("scan 0 -5; bus; camera")
                       .on(kInMemoryLibusbs, scan_fails(expected::kNoDevices))
                       .not_on(kDeviceStacks, kScriptedOnly));
    // The first camera's write does not take, so its last read (0x7e)
    // differs from the value written; the second camera's stalled read
    // still shows it.
    rows.push_back(
        Row("StalledReadCarriesTheByteIntoTheSecondCamera")
            .plug({camera(0x9A), camera(0x33, "stall")})
            .scripted("bus; camera; reply 1 0x9a; reply 0; reply 1 0x7e; bus; camera 0x33; "
                      "reply stall")
            .on({S::fake_libusb},
                prints({reads(delivers(1, 0x9A), delivers(1, 0x7E)), first_read_fails(kStalled)}))
            .not_on({S::libusb0_double}, kNotOnlyTheDouble)
            .not_on(kDeviceStacks, kScriptedOnly));
    rows.push_back(Row("UnpluggedCameraThenAHealthyOne")
                       .plug({camera(0x00, "unplug"), camera(0x07)})
                       .scripted("bus; camera; reply gone; reply gone; reply gone; camera 0x07")
                       .on({S::fake_libusb}, prints({both_reads_fail(kGone), healthy(0x07)}))
                       .not_on({S::libusb0_double}, kNotOnlyTheDouble)
                       .not_on(kDeviceStacks, kScriptedOnly));
    rows.push_back(Row("CameraThatCannotBeOpened")
                       .plug({camera(0x00), camera(0x07)})
                       .scripted("bus; camera; open-fails; camera 0x07")
                       .on(kInMemoryLibusbs, prints({open_fails(), healthy(0x07)}))
                       .not_on(kDeviceStacks, kScriptedOnly));
    add_desktop_rows(rows);
    add_system_rows(rows);
    return rows;
}

}  // namespace

const Result &Scenario::on(Stack stack) const {
    static const Result unset = not_applicable(kUnsetCell);
    auto cell = cells.find(stack);
    return cell == cells.end() ? unset : cell->second;
}

bool tells_lies(const Scenario &row) {
    return std::any_of(row.cameras.begin(), row.cameras.end(), [](const Camera &camera) {
        return camera.lie != "none" || camera.fault == kLongReads;
    });
}

void PrintTo(const Scenario &row, std::ostream *out) {
    *out << row.name;
}

const std::vector<Scenario> &scenarios() {
    static const std::vector<Scenario> rows = build_rows();
    return rows;
}

const Scenario &scenario(const std::string &name) {
    for (const Scenario &row : scenarios()) {
        if (row.name == name) {
            return row;
        }
    }
    throw std::out_of_range("no scenario named " + name);
}

std::vector<Scenario> runs_on(Stack stack) {
    std::vector<Scenario> rows;
    for (const Scenario &row : scenarios()) {
        if (row.on(stack).applies()) {
            rows.push_back(row);
        }
    }
    return rows;
}

std::vector<std::string> not_run_on(Stack stack) {
    std::vector<std::string> lines;
    for (const Scenario &row : scenarios()) {
        if (!row.on(stack).applies()) {
            lines.push_back(row.name + ": not applicable on " + stack_name(stack) + ": " +
                            row.on(stack).not_applicable);
        }
    }
    return lines;
}

void print_not_run_on(Stack stack) {
    for (const std::string &line : not_run_on(stack)) {
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

namespace {

std::string read_line(const Read &read, std::uint8_t &probe_byte,
                      std::optional<std::uint8_t> driver_left) {
    if (read.driver_left) {
        if (!driver_left) {
            throw std::logic_error("a read delivers what the driver left, and no run said what");
        }
        probe_byte = *driver_left;
    } else if (read.byte) {
        probe_byte = *read.byte;
    }
    return expected::result_line(read.result, expected::hex_byte(probe_byte));
}

}  // namespace

std::string expected_output(const CameraOutput &camera, std::uint8_t &probe_byte,
                            std::optional<std::uint8_t> driver_left) {
    std::string text = expected::kAnnouncement;
    if (!camera.opened) {
        return text + expected::kOpenFailed;
    }
    text += read_line(camera.first, probe_byte, driver_left);
    return text + read_line(camera.second, probe_byte, driver_left);
}

std::string expected_output(const Result &result, std::uint8_t &probe_byte,
                            const std::vector<std::uint8_t> &driver_left) {
    if (!result.scan_failure.empty()) {
        return result.scan_failure;
    }
    std::string text;
    for (std::size_t i = 0; i < result.cameras.size(); ++i) {
        std::optional<std::uint8_t> left;
        if (i < driver_left.size()) {
            left = driver_left[i];
        }
        text += expected_output(result.cameras[i], probe_byte, left);
    }
    return text;
}

std::string expected_output(const Result &result, const std::vector<std::uint8_t> &driver_left) {
    std::uint8_t probe_byte = expected::kProbeBytePreset;
    return expected_output(result, probe_byte, driver_left);
}

}  // namespace registry
