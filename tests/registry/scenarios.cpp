// SPDX-License-Identifier: MIT
#include "scenarios.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "../windows/libusb_win32_results.h"
#include "probe_expectations.h"

namespace registry {

const char kUnsetCell[] = "no cell written for this stack";

const Stack kStacks[15] = {
    Stack::usbfs_libusb012,
    Stack::usbfs_compat,
    Stack::amd64_guest_libusb012,
    Stack::amd64_guest_compat,
    Stack::arm64_guest_arm64,
    Stack::arm64_guest_armhf,
    Stack::wine_stack,
    Stack::libusb0_double,
    Stack::libusb1_client,
    Stack::fake_libusb,
    Stack::amd64_desktop_libusb012,
    Stack::amd64_desktop_compat,
    Stack::arm64_desktop_arm64,
    Stack::arm64_desktop_armhf,
    Stack::amd64_system_libusb012,
};

bool driver_bound_on(Stack stack) {
    return stack == Stack::amd64_desktop_libusb012 || stack == Stack::amd64_desktop_compat ||
           stack == Stack::arm64_desktop_arm64 || stack == Stack::arm64_desktop_armhf;
}

const char *stack_name(Stack stack) {
    switch (stack) {
        case Stack::usbfs_libusb012:
            return "usbfs, libusb 0.1.12";
        case Stack::usbfs_compat:
            return "usbfs, libusb-compat";
        case Stack::amd64_guest_libusb012:
            return "amd64 guest, libusb 0.1.12";
        case Stack::amd64_guest_compat:
            return "amd64 guest, libusb-compat";
        case Stack::arm64_guest_arm64:
            return "arm64 guest, arm64 build";
        case Stack::arm64_guest_armhf:
            return "arm64 guest, armhf build";
        case Stack::wine_stack:
            return "Windows, libusb-win32";
        case Stack::libusb0_double:
            return "libusb0.dll double";
        case Stack::libusb1_client:
            return "libusb-1.0 client";
        case Stack::fake_libusb:
            return "fake libusb";
        case Stack::amd64_desktop_libusb012:
            return "amd64 guest with the webcam driver, libusb 0.1.12";
        case Stack::amd64_desktop_compat:
            return "amd64 guest with the webcam driver, libusb-compat";
        case Stack::arm64_desktop_arm64:
            return "arm64 guest with the webcam driver, arm64 build";
        case Stack::arm64_desktop_armhf:
            return "arm64 guest with the webcam driver, armhf build";
        case Stack::amd64_system_libusb012:
            return "Debian 12 system guest, the package installed, libusb 0.1.12";
    }
    return "unknown stack";
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
const char kNeedsKernelNodes[] =
    "needs the device nodes and permissions of a real kernel (the guests)";
const char kLieOnUsbfs[] =
    "what each library makes of a lie on emulated usbfs is the lying-devices suite's table";
const char kLieIsLinux[] = "a descriptor lie is about the Linux kernel and libusb's parsers";
const char kWindowsFaults[] =
    "the Windows stack runs the first-read and write faults; this one adds nothing there";
const char kClientFaults[] =
    "the libusb-1.0 client proves the URB dialect with the faults whose results it names";
const char kNoDriver[] = "the webcam driver is bound only in the desktop rows";
const char kDesktopOnly[] =
    "a desktop row: it runs where the kernel's webcam driver is bound to the camera";
const char kDesktopTime[] =
    "each desktop row costs the driver's probe, about 5.5 s under TCG; libusb 0.1.12 runs it";
const char kArmDesktop[] = "the arm64 guest runs the typical desktop row";
const char kNotASystemRow[] =
    "the system guest runs the rows about the installed package, udev, logind and its users; "
    "the busybox guests' columns run the camera's own behaviour on the same kernel";
const char kSystemOnly[] =
    "a system row: it needs the package installed with apt, udev, logind and the system's "
    "users, which only the system guest has";

// A row, cell by cell: every column starts unset, and a column a row
// forgets stays so, which the registry's own test finds.
class Row {
  public:
    // A row without the webcam driver: the desktop columns do not run it.
    // The system guest's column does not run it either.
    explicit Row(std::string name) {
        scenario_.name = std::move(name);
        for (Stack stack : kStacks) {
            scenario_.results.push_back(not_applicable(driver_bound_on(stack) ? kNoDriver
                                                       : stack == Stack::amd64_system_libusb012
                                                           ? kNotASystemRow
                                                           : kUnsetCell));
        }
    }
    // A system row: every column written by the row itself.
    static Row in_the_system(std::string name, const char *user) {
        Row row(std::move(name));
        for (Result &result : row.scenario_.results) {
            result = not_applicable(kUnsetCell);
        }
        row.scenario_.system_user = user;
        return row;
    }
    // A desktop row: only the columns where the driver is bound run it.
    static Row beside_the_driver(std::string name) {
        Row row(std::move(name));
        for (Stack stack : kStacks) {
            row.scenario_.results[static_cast<std::size_t>(stack)] =
                not_applicable(driver_bound_on(stack)                   ? kUnsetCell
                               : stack == Stack::amd64_system_libusb012 ? kNotASystemRow
                                                                        : kDesktopOnly);
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
    Row &unanswered(int transfers) {
        scenario_.unanswered = transfers;
        return *this;
    }
    Row &as_user_with_nodes(const char *mode) {
        scenario_.node_mode = mode;
        return *this;
    }
    Row &scripted(std::string script) {
        scenario_.script = std::move(script);
        return *this;
    }
    Row &on(std::initializer_list<Stack> stacks, const Result &result) {
        for (Stack stack : stacks) {
            scenario_.results[static_cast<std::size_t>(stack)] = result;
        }
        return *this;
    }
    // Every column still unset does not run the row, for `reason`.
    Row &elsewhere(const char *reason) {
        for (Result &result : scenario_.results) {
            if (result.not_applicable == kUnsetCell) {
                result = not_applicable(reason);
            }
        }
        return *this;
    }
    operator Scenario() const { return scenario_; }

  private:
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

// A lie as the guests see it: libusb 0.1.12 reads the node and probes the
// camera; libusb-compat, through sysfs, leaves it out.
Row lie_left_out_by_compat(const char *name, const char *lie, bool over_read_in_parse,
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
        .on(kUsbfs, not_applicable(kLieOnUsbfs))
        .elsewhere(kLieIsLinux);
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

// Every stack but the system guest's.
constexpr std::initializer_list<Stack> kBesideTheSystem = {S::usbfs_libusb012,
                                                           S::usbfs_compat,
                                                           S::amd64_guest_libusb012,
                                                           S::amd64_guest_compat,
                                                           S::arm64_guest_arm64,
                                                           S::arm64_guest_armhf,
                                                           S::wine_stack,
                                                           S::libusb0_double,
                                                           S::libusb1_client,
                                                           S::fake_libusb,
                                                           S::amd64_desktop_libusb012,
                                                           S::amd64_desktop_compat,
                                                           S::arm64_desktop_arm64,
                                                           S::arm64_desktop_armhf};

// The system rows: a Debian 12 system with the package installed with apt
// (unless a row says otherwise), each row's camera plugged anew, udev and
// logind left to do what they do. A row's name says what was done first;
// the system suite (tests/e2e/system_rows.cpp) does it.
void add_system_rows(std::vector<Scenario> &rows) {
    const S system = S::amd64_system_libusb012;
    const Result driver_then_exchange = prints({beside_driver_healthy()});
    const Result read_only_node = reaching(prints({both_reads_fail(kNotPermitted)}), 0);
    // apt installs the package with the camera plugged, the driver bound:
    // its postinst has udev apply the rule at once, without a replug.
    rows.push_back(Row::in_the_system("InstalledWithTheCameraPlugged", "probe")
                       .plug({camera(0x00)})
                       .on({system}, driver_then_exchange)
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
    // The seat's ACL, from logind, on a node that udev made after the
    // driver's probe.
    rows.push_back(Row::in_the_system("SeatUserBesideTheDriverUdevLoaded", "probe")
                       .plug({camera(0x00)})
                       .on({system}, driver_then_exchange)
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
    // As over ssh: no session, so no ACL; the rule's group gives access.
    rows.push_back(Row::in_the_system("PlugdevMemberWithoutASession", "headless")
                       .plug({camera(0x00)})
                       .on({system}, driver_then_exchange)
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
    // Neither seat nor group: the node is readable, not writable.
    rows.push_back(Row::in_the_system("UserInNoGroupWithoutASession", "outsider")
                       .plug({camera(0x00)})
                       .on({system}, read_only_node)
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
    // Run the moment the camera's node appears after a replug, the driver
    // loaded: udev has not yet applied the rule, which it does only after
    // the driver's probe, so the node is still the kernel's own (0600) and
    // libusb 0.1.12 does not see the camera.
    rows.push_back(Row::in_the_system("RunAtOnceAfterAReplugBesideTheDriver", "probe")
                       .plug({camera(0x00)})
                       .on({system}, reaching(prints_nothing(), 0))
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
    // The blacklist written, then the module unloaded, then a replug: udev
    // leaves the driver out, and the first read is the camera's own value.
    rows.push_back(Row::in_the_system("DriverBlacklistedAndUnloadedThenReplugged", "probe")
                       .plug({camera(0x00)})
                       .on({system}, prints({healthy(0x00)}))
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
    // apt-get purge removes the rule; after a replug udev's defaults leave
    // the node read-only for the seat user (who runs a build of their own).
    rows.push_back(Row::in_the_system("RulePurgedThenReplugged", "probe")
                       .plug({camera(0x00)})
                       .on({system}, read_only_node)
                       .on(kBesideTheSystem, not_applicable(kSystemOnly)));
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
                       .on(kInMemoryLibusbs, one_healthy_camera));
    rows.push_back(Row("NoCamera")
                       .plug({})
                       .scripted("bus; device 1d6b:0002; bus")
                       .on(kUsbfs, prints_nothing())
                       .on({S::wine_stack, S::libusb1_client}, prints_nothing())
                       .on(kInMemoryLibusbs, prints_nothing())
                       .elsewhere(kGuestTime));
    rows.push_back(
        Row("TwoCameras")
            .plug({camera(0x9A), camera(0x9A)})
            .scripted("bus; camera 0x9a; bus; camera 0x9a")
            .on(kUsbfs, prints({healthy(0x9A), healthy(0x9A)}))
            .on(kKernelLibusb012, prints({healthy(0x9A), healthy(0x9A)}))
            .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
            .on({S::wine_stack, S::libusb1_client}, prints({healthy(0x9A), healthy(0x9A)}))
            .on(kInMemoryLibusbs, prints({healthy(0x9A), healthy(0x9A)})));
    rows.push_back(Row("HighRegisterByte")
                       .plug({camera(0x9A)})
                       .on(kUsbfs, prints({healthy(0x9A)}))
                       .on({S::libusb1_client}, prints({healthy(0x9A)}))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere("TwoCameras shows a high register byte here"));
    rows.push_back(Row("StalledFirstRead")
                       .plug({camera(0x00, "stall")})
                       .scripted("bus; camera; reply stall")
                       .on(kUsbfs, prints({first_read_fails(kStall)}))
                       .on(kKernelLibusb012, prints({first_read_fails(kStall)}))
                       .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
                       .on({S::wine_stack}, prints({first_read_fails(kStalled)}))
                       .on({S::libusb1_client}, prints({first_read_fails(kLibusb1Pipe)}))
                       .on(kInMemoryLibusbs, prints({first_read_fails(kStalled)})));
    rows.push_back(
        Row("StalledSecondRead")
            .plug({camera(0x00, "stall-second-read")})
            .scripted("bus; camera; reply 1 0x00; reply 0; reply stall")
            .on(kUsbfs, prints({reads(delivers(1, 0x00), keeps(kStall))}))
            .on(kAmd64Guest, prints({reads(delivers(1, 0x00), keeps(kStall))}))
            .on(kArmGuest, prints({reads(delivers(1, 0x00), keeps(kStall))}))
            .on({S::wine_stack}, prints({reads(delivers(1, 0x00), keeps(kStalled))}))
            .on({S::libusb1_client}, prints({reads(delivers(1, 0x00), keeps(kLibusb1Pipe))}))
            .on(kInMemoryLibusbs, prints({reads(delivers(1, 0x00), keeps(kStalled))})));
    rows.push_back(Row("StalledReads")
                       .plug({camera(0x00, "stall-reads")})
                       .on(kUsbfs, prints({both_reads_fail(kStall)}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere(kGuestTime));
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
            .elsewhere(kArmSubset));
    rows.push_back(Row("ZeroLengthFirstRead")
                       .plug({camera(0x00, "zero-length")})
                       .on(kUsbfs, prints({first_read_fails(0)}))
                       .on({S::amd64_guest_libusb012}, prints({first_read_fails(0)}))
                       .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
                       .on({S::wine_stack}, prints({first_read_fails(kNoData)}))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere(kArmSubset));
    rows.push_back(Row("ZeroLengthReads")
                       .plug({camera(0x00, "zero-length-reads")})
                       .on(kUsbfs, prints({both_reads_fail(0)}))
                       .on({S::libusb1_client}, prints({both_reads_fail(0)}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere(kGuestTime));
    rows.push_back(Row("NoAnswer")
                       .plug({camera(0x00, "no-answer-at-all")})
                       .unanswered(3)
                       .on(kUsbfs, prints({both_reads_fail(kTimedOut)}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere(kGuestTime));
    rows.push_back(Row("NoAnswerToFirstRead")
                       .plug({camera(0x00, "no-answer")})
                       .unanswered(1)
                       .on(kUsbfs, prints({first_read_fails(kTimedOut)}))
                       .on({S::amd64_guest_libusb012}, prints({first_read_fails(kTimedOut)}))
                       .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
                       .on({S::wine_stack}, prints({first_read_fails(libusb_win32::kTimedOut)}))
                       .on({S::libusb1_client}, prints({first_read_fails(kLibusb1Timeout)}))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere(kArmSubset));
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
            .elsewhere(kArmSubset));
    rows.push_back(
        Row("RejectedWrite")
            .plug({camera(0x42, "reject-write")})
            .on(kUsbfs, prints({reads(delivers(1, 0x42), delivers(1, 0x42))}))
            .on({S::amd64_guest_libusb012}, prints({reads(delivers(1, 0x42), delivers(1, 0x42))}))
            .on({S::amd64_guest_compat}, not_applicable(kCompatInGuest))
            .on({S::wine_stack}, prints({reads(delivers(1, 0x42), delivers(1, 0x42))}))
            .on({S::libusb1_client}, not_applicable(kClientFaults))
            .on(kInMemoryLibusbs, not_applicable(kInMemory))
            .elsewhere(kArmSubset));
    rows.push_back(Row("HighByteAndRejectedWrite")
                       .plug({camera(0xC3, "reject-write")})
                       .on(kUsbfs, prints({reads(delivers(1, 0xC3), delivers(1, 0xC3))}))
                       .on({S::wine_stack}, not_applicable(kWindowsFaults))
                       .on({S::libusb1_client}, not_applicable(kClientFaults))
                       .on(kInMemoryLibusbs, not_applicable(kInMemory))
                       .elsewhere(kGuestTime));
    // libusb 0.1.12 opens a node it may not write read-only; usbfs then
    // refuses every transfer before it reaches the camera. libusb-compat
    // lists the camera from sysfs, and its open fails.
    rows.push_back(Row("UserWithReadOnlyNode")
                       .plug({camera(0x00)})
                       .as_user_with_nodes(kReadOnlyNode)
                       .on(kKernelLibusb012, reaching(prints({both_reads_fail(kNotPermitted)}), 0))
                       .on({S::amd64_guest_compat}, reaching(prints({open_fails()}), 0))
                       .elsewhere(kNeedsKernelNodes));
    // A node it cannot read hides the camera from libusb 0.1.12.
    rows.push_back(Row("UserWithoutAccessToTheNode")
                       .plug({camera(0x00)})
                       .as_user_with_nodes(kNoAccessNode)
                       .on(kKernelLibusb012, reaching(prints_nothing(), 0))
                       .on({S::amd64_guest_compat}, reaching(prints({open_fails()}), 0))
                       .elsewhere(kNeedsKernelNodes));
    // Lies, as far as the kernel lets them through: it keeps only the
    // descriptors with a sound bLength and shows that in sysfs.
    rows.push_back(
        lie_left_out_by_compat("TotalLengthOneByteShort", "total-length-short", true, true));
    rows.push_back(Row("TotalLengthTooLong")
                       .plug({lying("total-length-long")})
                       .on({S::amd64_guest_libusb012},
                           stopped_by_sanitizers_in(prints({healthy(0x5A)}), kOverReadInParse))
                       .on({S::amd64_guest_compat}, prints({healthy(0x5A)}))
                       .on(kUsbfs, not_applicable(kLieOnUsbfs))
                       .elsewhere(kLieIsLinux));
    // libusb-1.0 refuses the wTotalLength of 4 that sysfs still shows.
    rows.push_back(lie_left_out_by_compat("TotalLengthShorterThanItsHeader", "total-length-tiny",
                                          false, false));
    // The kernel keeps eight of the nine configurations.
    rows.push_back(Row("NineConfigurations")
                       .plug({lying("many-configurations")})
                       .on(kAmd64Guest, prints({healthy(0x5A)}))
                       .on(kUsbfs, not_applicable(kLieOnUsbfs))
                       .elsewhere(kLieIsLinux));
    rows.push_back(
        lie_left_out_by_compat("EndpointOfLengthZero", "endpoint-length-zero", true, true));
    rows.push_back(lie_left_out_by_compat("ConfigurationAnsweredShort",
                                          "short-configuration-answer", true, true));
    // QEMU's host controller keeps the byte asked for and drops the other.
    rows.push_back(Row("ReadsAnsweredWithAByteTooMany")
                       .plug({camera(0x5A, "long-reads")})
                       .on(kAmd64Guest, prints({healthy(0x5A)}))
                       .on(kUsbfs, not_applicable(kLieOnUsbfs))
                       .elsewhere(kLieIsLinux));
    // What only the in-memory libusbs can script.
    rows.push_back(Row("FailedBusScan")
                       .plug({camera(0x00)})
                       .scripted("scan -1 1; bus; camera")
                       .on(kInMemoryLibusbs, scan_fails(expected::kNoBuses))
                       .elsewhere(kScriptedOnly));
    rows.push_back(Row("FailedDeviceScan")
                       .plug({camera(0x00)})
                       .scripted("scan 0 -5; bus; camera")
                       .on(kInMemoryLibusbs, scan_fails(expected::kNoDevices))
                       .elsewhere(kScriptedOnly));
    // The first camera's write does not take, so its last read (0x7e)
    // differs from the value written; the second camera's stalled read
    // still shows it.
    rows.push_back(
        Row("StalledReadCarriesTheByteIntoTheSecondCamera")
            .plug({camera(0x9A), camera(0x33, "stall")})
            .scripted("bus; camera; reply 1 0x9a; reply 0; reply 1 0x7e; bus; camera 0x33; "
                      "reply stall")
            .on(kInMemoryLibusbs,
                prints({reads(delivers(1, 0x9A), delivers(1, 0x7E)), first_read_fails(kStalled)}))
            .elsewhere(kScriptedOnly));
    rows.push_back(Row("UnpluggedCameraThenAHealthyOne")
                       .plug({camera(0x00, "unplug"), camera(0x07)})
                       .scripted("bus; camera; reply gone; reply gone; reply gone; camera 0x07")
                       .on(kInMemoryLibusbs, prints({both_reads_fail(kGone), healthy(0x07)}))
                       .elsewhere(kScriptedOnly));
    rows.push_back(Row("CameraThatCannotBeOpened")
                       .plug({camera(0x00), camera(0x07)})
                       .scripted("bus; camera; open-fails; camera 0x07")
                       .on(kInMemoryLibusbs, prints({open_fails(), healthy(0x07)}))
                       .elsewhere(kScriptedOnly));
    add_desktop_rows(rows);
    add_system_rows(rows);
    return rows;
}

}  // namespace

const Result &Scenario::on(Stack stack) const {
    return results.at(static_cast<std::size_t>(stack));
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
