// SPDX-License-Identifier: MIT
#include "scenarios.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "probe_expectations.h"

namespace registry {

const char kUnsetCell[] = "no cell written for this stack";

namespace {

// The kinds of place a row names where it runs, a bit each.
enum Place : unsigned {
    usbfs = 1U << 0,               // emulated usbfs on the host, either library
    amd64_guest = 1U << 1,         // the busybox amd64 guest, libusb 0.1.12
    amd64_guest_compat = 1U << 2,  // the same guest, libusb-compat
    arm_guest = 1U << 3,           // the busybox arm64 guest, either build
    windows = 1U << 4,             // libusb-win32's own stack under Wine
    client = 1U << 5,              // the libusb-1.0 client on emulated usbfs
    fake = 1U << 6,                // the fake libusb: every row with a script
    dll_double = 1U << 7,          // the libusb0.dll double
    desktop = 1U << 8,             // the amd64 guest beside the webcam driver, libusb 0.1.12
    desktop_compat = 1U << 9,      // the same, libusb-compat
    arm_desktop = 1U << 10,        // the arm64 guest beside the driver, either build
    systems = 1U << 11,            // the Debian system guests
};
constexpr unsigned kAmd64Guest = amd64_guest | amd64_guest_compat;
constexpr unsigned kGuests = kAmd64Guest | arm_guest;
constexpr unsigned kMemory = fake | dll_double;
constexpr unsigned kDesktops = desktop | desktop_compat | arm_desktop;
// Every place with a camera behind it, real or emulated, but beside the driver.
constexpr unsigned kDevices = usbfs | kGuests | windows | client;
// Where a real kernel makes the device nodes, with their modes, and cuts the
// transfer in flight when the camera is unplugged.
constexpr unsigned kRealKernel = kGuests | kDesktops | systems;
// Where the tests plug a lying camera.
constexpr unsigned kPlugsLies = usbfs | kAmd64Guest;

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
const char kNoPlugdev[] = "the system has no group plugdev, as Fedora, Arch and openSUSE";
const char kSystemRowsAlone[] =
    "the system guests run the rows about the installed package, udev, logind and its users; "
    "the busybox guests' columns run the camera's own behaviour";

}  // namespace

struct Nature {
    unsigned place;
    // Why a row that does not name the place leaves the column out; null
    // where such a row must say why itself.
    const char *skips_because;
    // A place that runs more rows of the same kind: why a row it runs is
    // left out here.
    unsigned lead = 0;
    const char *skips_beside_lead_because = nullptr;
    // A column that runs rows of its own alone: why the others do not run
    // there.
    const char *other_rows_not_run_because = nullptr;
};

namespace {

const Nature kUsbfsNature{usbfs, nullptr};
const Nature kAmd64GuestNature{amd64_guest, kGuestTime};
const Nature kAmd64GuestCompatNature{amd64_guest_compat, kGuestTime, amd64_guest, kCompatInGuest};
const Nature kArmGuestNature{arm_guest, kGuestTime, amd64_guest, kArmSubset};
const Nature kWindowsNature{windows, kWindowsFaults};
const Nature kClientNature{client, kClientFaults};
const Nature kFakeNature{fake, kInMemory};
const Nature kDoubleNature{dll_double, kInMemory, fake, kNotOnlyTheDouble};
const Nature kDesktopNature{desktop, nullptr};
const Nature kDesktopCompatNature{desktop_compat, kDesktopTime};
const Nature kArmDesktopNature{arm_desktop, kArmDesktop};
const Nature kSystemNature{systems, nullptr, 0, nullptr, kSystemRowsAlone};

using S = Stack;
using F = Family;

#define CAMERA_PROBE_SYSTEM_ABOUT                                                                \
    " in a QEMU guest on the release's own kernel: systemd, udev and logind, the package of "    \
    "`make package` installed with apt from its file, libusb-0.1-4 from an archive of the "      \
    "release's packages, Debian's libusb 0.1.12. udev loads the webcam driver when the camera "  \
    "is plugged in (so the first read shows what it left, as on the desktop), and the rule "     \
    "gives access: `probe` is logged in at the seat (logind's ACL), `headless` is in the group " \
    "plugdev where there is one and has no session or, over ssh, one without a seat, and "       \
    "`outsider` is neither. The row's name says what was done before the run; who may use the "  \
    "camera, and how to read it without the driver: the README."
// The fake libusb and the double play scripts whose results are
// libusb-win32's.
const std::pair<Stack, Column> kColumns[] = {
    {S::usbfs_libusb012,
     {"usbfs, libusb 0.1.12",
      "Linux's usbfs, emulated on the host (umockdev), with libusb 0.1.12 (Debian, Ubuntu). The "
      "emulation answers at once where a kernel waits: see the guest's columns for the real "
      "kernel.",
      Audience::users, F::libusb012, &kUsbfsNature, &kLibusb012Codes}},
    {S::usbfs_compat,
     {"usbfs, libusb-compat",
      "The same, with libusb-compat-0.1 over libusb-1.0 (Fedora, Arch, openSUSE), on Linux's "
      "device nodes: [libusb.md](libusb.md).",
      Audience::users, F::compat, &kUsbfsNature, &kCompatCodes}},
    {S::amd64_guest_libusb012,
     {"amd64 guest, libusb 0.1.12",
      "Debian's own amd64 kernel in a QEMU guest, the cameras on its xHCI bus: what a Linux PC "
      "answers, with libusb 0.1.12.",
      Audience::users, F::libusb012, &kAmd64GuestNature, &kLibusb012Codes}},
    {S::amd64_guest_compat,
     {"amd64 guest, libusb-compat", "The same kernel with libusb-compat-0.1.", Audience::users,
      F::compat, &kAmd64GuestCompatNature, &kCompatCodes}},
    {S::arm64_guest_arm64,
     {"arm64 guest, arm64 build",
      "Debian's arm64 kernel in a QEMU guest, the arm64 package's build: [arm.md](arm.md).",
      Audience::users, F::libusb012, &kArmGuestNature, &kLibusb012Codes}},
    {S::arm64_guest_armhf,
     {"arm64 guest, armhf build",
      "The same kernel, the armhf package's build (32-bit user space).", Audience::users,
      F::libusb012, &kArmGuestNature, &kLibusb012Codes}},
    {S::wine_stack,
     {"Windows, libusb-win32",
      "Windows: libusb-win32's own libusb0.dll and libusb0.sys, under Wine: "
      "[windows.md](windows.md). Each line ends in CR LF there.",
      Audience::users, F::win32, &kWindowsNature, &kLibusbWin32Codes}},
    {S::libusb0_double,
     {"libusb0.dll double",
      "camera-probe.exe against the tests' libusb0.dll double, which plays a script: the library "
      "failures libusb-win32's own stack cannot be made to give, with Windows' exit status.",
      Audience::tests, F::fake, &kDoubleNature, &kLibusbWin32Codes}},
    // libusb-compat's URBs, libusb-1.0's own codes.
    {S::libusb1_client,
     {"libusb-1.0 client",
      "The tests' libusb-1.0 client, which runs the same exchange: the URBs libusb-compat-0.1 "
      "sends.",
      Audience::tests, F::compat, &kClientNature, &kLibusb1Codes}},
    {S::fake_libusb,
     {"fake libusb",
      "The tool's code against the unit tests' in-memory libusb, playing the double's scripts.",
      Audience::tests, F::fake, &kFakeNature, &kLibusbWin32Codes}},
    {S::amd64_desktop_libusb012,
     {"amd64 guest with the webcam driver, libusb 0.1.12",
      "A Linux desktop: the amd64 guest with the kernel's webcam driver for this camera "
      "(gspca_ov519) bound to it. The first read shows what the driver's initialisation left in "
      "register 0x13: 0x27 for a camera that powers up with 0x00, 0xbf for one with 0x9a. Why, "
      "what the driver may later write over the 0x15, and how to read without it: the README's "
      "section on the driver.",
      Audience::users, F::libusb012, &kDesktopNature, &kLibusb012Codes}},
    {S::amd64_desktop_compat,
     {"amd64 guest with the webcam driver, libusb-compat",
      "The same desktop with libusb-compat-0.1.", Audience::users, F::compat, &kDesktopCompatNature,
      &kCompatCodes}},
    {S::arm64_desktop_arm64,
     {"arm64 guest with the webcam driver, arm64 build",
      "The arm64 guest with the same driver (a Raspberry Pi desktop has it), the arm64 "
      "package's build.",
      Audience::users, F::libusb012, &kArmDesktopNature, &kLibusb012Codes}},
    {S::arm64_desktop_armhf,
     {"arm64 guest with the webcam driver, armhf build", "The same, the armhf package's build.",
      Audience::users, F::libusb012, &kArmDesktopNature, &kLibusb012Codes}},
    {S::amd64_system_trixie,
     {"Debian 13 system guest, the package installed, libusb 0.1.12",
      "A Debian 13 (trixie) system as a user has it, kernel 6.12" CAMERA_PROBE_SYSTEM_ABOUT,
      Audience::users, F::libusb012, &kSystemNature, &kLibusb012Codes}},
    {S::amd64_system_bookworm,
     {"Debian 12 system guest, the package installed, libusb 0.1.12",
      "A Debian 12 (bookworm) system as a user has it, kernel 6.1" CAMERA_PROBE_SYSTEM_ABOUT,
      Audience::users, F::libusb012, &kSystemNature, &kLibusb012Codes}},
    {S::amd64_system_forky,
     {"udev of Fedora, Arch and openSUSE (Debian testing), their rule, no plugdev",
      "Debian testing (forky), whose udev is as new as Fedora's, Arch's and openSUSE's, with no "
      "group named plugdev, as on those systems, and after the install the rule the RPM and the "
      "Arch package install in place of the .deb's" CAMERA_PROBE_SYSTEM_ABOUT,
      Audience::users, F::libusb012, &kSystemNature, &kLibusb012Codes}},
};
#undef CAMERA_PROBE_SYSTEM_ABOUT

const Nature &nature_of(Stack stack) {
    return *column(stack).nature;
}

}  // namespace

const Column &column(Stack stack) {
    for (const auto &[listed, its_column] : kColumns) {
        if (listed == stack) {
            return its_column;
        }
    }
    throw std::invalid_argument("no column for stack " + std::to_string(static_cast<int>(stack)));
}

bool driver_bound_on(Stack stack) {
    return (nature_of(stack).place & kDesktops) != 0;
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

// Device node modes for a run as the guests' unprivileged user: others may
// read but not write (udev's default), and root only (the kernel's own).
const char kReadOnlyNode[] = "0664";
const char kNoAccessNode[] = "0600";

// The fault of a camera whose reads answer a byte more than they ask for:
// a lie of the lying family, though not in a descriptor.
const char kLongReads[] = "long-reads";

// libusb 0.1.12's over-read of a lying configuration, and libusb-compat's
// leak of a device it leaves out, where sanitizers stop the probe.
const char kOverReadInParse[] = "usb_parse_configuration";
const char kLeakInFindDevices[] = "find_devices";

// What happened to a transfer, as the entry of each column's code table
// that holds the number it prints.
using Code = int Codes::*;
constexpr Code stall = &Codes::stall;
constexpr Code timed_out = &Codes::timed_out;
constexpr Code gone = &Codes::gone;
constexpr Code not_permitted = &Codes::not_permitted;
constexpr Code overflow = &Codes::overflow;
constexpr Code no_data = &Codes::no_data;

// A read as a row gives it: what happened, and the byte it delivered.
struct ReadIs {
    Code code;
    std::optional<std::uint8_t> byte;
    bool driver_left = false;
};
ReadIs delivered(std::uint8_t byte) {
    return {&Codes::delivered, byte};
}
ReadIs fails(Code code) {
    return {code, std::nullopt};
}

// A camera as a row gives it. An unplug names the transfer it comes at
// (0 the first read, 1 the write, 2 the read back): a real kernel cuts that
// one short, and no later one reaches the camera.
struct CameraIs {
    bool opened = true;
    ReadIs first;
    ReadIs second;
    int unplugged_at = -1;
};
CameraIs answers(std::uint8_t register_value) {
    return {true, delivered(register_value), delivered(expected::kWrittenValue)};
}
CameraIs first_read_fails(Code code) {
    return {true, fails(code), delivered(expected::kWrittenValue)};
}
CameraIs second_read_fails(std::uint8_t register_value, Code code) {
    return {true, delivered(register_value), fails(code)};
}
CameraIs both_reads_fail(Code code) {
    return {true, fails(code), fails(code)};
}
// The write does not take: the read back shows the register unchanged.
CameraIs write_not_taken(std::uint8_t register_value) {
    return {true, delivered(register_value), delivered(register_value)};
}
CameraIs cannot_open() {
    return {false, {}, {}};
}
CameraIs unplugged_at_first_read() {
    return {true, fails(gone), fails(gone), 0};
}
CameraIs unplugged_at_write(std::uint8_t register_value) {
    return {true, delivered(register_value), fails(gone), 1};
}
// Beside the webcam driver: the first read shows what the driver's
// initialisation left in the register, the read back the value written.
CameraIs beside_the_driver() {
    return {true, {&Codes::delivered, std::nullopt, true}, delivered(expected::kWrittenValue)};
}

// What a row does on a column, before the column's numbers: the cameras,
// and the rest of the cell as it stands.
struct Outcome {
    std::vector<CameraIs> cameras;
    Result rest;
};
Outcome shows(std::vector<CameraIs> cameras) {
    return {std::move(cameras), {}};
}
Outcome nothing() {
    return {};
}
Outcome reaching(Outcome outcome, std::size_t transfers) {
    outcome.rest.transfers_reaching_camera = transfers;
    return outcome;
}
// The library does not list the camera: nothing is printed or sent.
Outcome unseen() {
    return reaching(nothing(), 0);
}
Outcome scan_fails(const std::string &message) {
    Outcome outcome;
    outcome.rest.scan_failure = message;
    outcome.rest.exit_status = expected::kScanFailedExit;
    return outcome;
}
// The library crashes inside usb_find_devices(): nothing is printed, no
// transfer is sent, and the shell sees the signal.
Outcome crashes_in_the_scan(int signal) {
    Outcome outcome = unseen();
    outcome.rest.crash_signal = signal;
    outcome.rest.exit_status = 128 + signal;
    return outcome;
}
Outcome skipped(const char *reason) {
    return {{}, not_applicable(reason)};
}

Read read_on(const ReadIs &read, const Codes &codes, const std::string &where) {
    int result = codes.*read.code;
    if (result == kUnmeasured) {
        throw std::logic_error(where + " expects a result its library's code table lacks");
    }
    return Read{result, read.byte, read.driver_left};
}

// The outcome in a column's numbers. Where a real kernel makes the
// transfers, an unplug cuts the one in flight.
Result printed_on(const Outcome &outcome, Stack stack, const std::string &row) {
    const Codes &codes = *column(stack).codes;
    const bool cuts = (nature_of(stack).place & kRealKernel) != 0;
    const std::string where = row + " on " + stack_name(stack);
    Result result = outcome.rest;
    for (const CameraIs &camera : outcome.cameras) {
        if (!camera.opened) {
            result.cameras.push_back(open_fails());
            continue;
        }
        CameraOutput printed{true, read_on(camera.first, codes, where),
                             read_on(camera.second, codes, where)};
        if (cuts && camera.unplugged_at >= 0) {
            result.transfers_reaching_camera = static_cast<std::size_t>(camera.unplugged_at) + 1;
            Read &cut = camera.unplugged_at == 0 ? printed.first : printed.second;
            if (camera.unplugged_at != 1) {
                cut = keeps(codes.cut_by_unplug);
            }
        }
        result.cameras.push_back(printed);
    }
    return result;
}

bool needs_kernel_nodes(const Scenario &row) {
    return !row.node_mode.empty();
}
bool changes_the_usb_filesystem(const Scenario &row) {
    return row.usb_filesystem != UsbFilesystem::as_the_kernel_makes_it;
}
// Where a row that runs neither beside the driver nor in the system guest
// is left out for what it is about, before a column's own reason.
struct KindRule {
    bool (*applies)(const Scenario &row);
    unsigned places;
    const char *reason;
};
const KindRule kKindRules[] = {
    {tells_lies, ~kPlugsLies, kLieIsLinux},
    {needs_kernel_nodes, ~kRealKernel, kNeedsKernelNodes},
    {changes_the_usb_filesystem, kGuests, kKernelMakesTheFilesystem},
    {changes_the_usb_filesystem, windows | client, kLinuxLibusb01Scan},
    {changes_the_usb_filesystem, kMemory, kFailedScansScripted},
};

// A row: its cameras, the places it runs, one outcome for every library
// (libusb-compat's where it differs), and the columns that differ from
// their library's outcome. Every other cell comes from the columns.
class Row {
  public:
    Row(std::string name, std::vector<Camera> cameras) {
        scenario_.name = std::move(name);
        scenario_.cameras = std::move(cameras);
    }
    Row &runs(unsigned places) {
        places_ = places;
        return *this;
    }
    Row &prints(Outcome outcome) {
        outcome_ = std::move(outcome);
        return *this;
    }
    Row &compat_prints(Outcome outcome) {
        compat_outcome_ = std::move(outcome);
        return *this;
    }
    Row &skips(unsigned places, const char *reason) {
        skips_.emplace_back(places, reason);
        return *this;
    }
    Row &except(std::initializer_list<Stack> stacks, const Outcome &outcome) {
        for (Stack stack : stacks) {
            if (!exceptions_.emplace(stack, outcome).second) {
                throw std::logic_error(scenario_.name + " excepts " + stack_name(stack) + " twice");
            }
        }
        return *this;
    }
    Row &sanitizers_stop_in(Stack stack, const char *function) {
        sanitizers_stop_in_.emplace(stack, function);
        return *this;
    }
    Row &script(std::string text) {
        scenario_.script = std::move(text);
        return *this;
    }
    Row &note(std::string text) {
        scenario_.note = std::move(text);
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
    Row &as(const char *system_user) {
        scenario_.system_user = system_user;
        return *this;
    }
    Row &decoys(std::vector<Decoy> plugged) {
        scenario_.decoys = std::move(plugged);
        return *this;
    }
    Row &usb_filesystem(UsbFilesystem filesystem) {
        scenario_.usb_filesystem = filesystem;
        return *this;
    }
    Row &then_video_application() {
        scenario_.video_application_after = true;
        return *this;
    }

    // The row with a cell for each column that has one to give: a column
    // without leaves the row without a cell, which the registry's own test
    // finds.
    Scenario scenario() const {
        Scenario row = scenario_;
        for (Stack stack : kStacks) {
            auto exception = exceptions_.find(stack);
            const Outcome *outcome = exception != exceptions_.end() ? &exception->second : nullptr;
            if (!outcome && (runs_in() & nature_of(stack).place)) {
                const bool compat = column(stack).family == Family::compat && compat_outcome_;
                outcome = compat ? &*compat_outcome_ : &outcome_;
            }
            if (outcome) {
                row.cells.emplace(stack, printed_on(*outcome, stack, scenario_.name));
            } else if (const char *reason = reason_left_out(stack)) {
                row.cells.emplace(stack, not_applicable(reason));
            }
            auto stop = sanitizers_stop_in_.find(stack);
            if (stop != sanitizers_stop_in_.end()) {
                row.cells.at(stack).sanitizers_stop_in = stop->second;
            }
        }
        return row;
    }

  private:
    // The fake libusb plays every row with a script.
    unsigned runs_in() const { return places_ | (scenario_.script.empty() ? 0U : fake); }

    const char *reason_left_out(Stack stack) const {
        const Nature &nature = nature_of(stack);
        for (const auto &[places, reason] : skips_) {
            if (places & nature.place) {
                return reason;
            }
        }
        if (places_ & systems) {
            return nature.place == systems ? nullptr : kSystemOnly;
        }
        if (nature.other_rows_not_run_because) {
            return nature.other_rows_not_run_because;
        }
        if ((places_ & kDesktops) == 0) {
            if (nature.place & kDesktops) {
                return kNoDriver;
            }
            for (const KindRule &rule : kKindRules) {
                if ((rule.places & nature.place) && rule.applies(scenario_)) {
                    return rule.reason;
                }
            }
            if ((runs_in() & kDevices) == 0 && (nature.place & kDevices)) {
                return kScriptedOnly;
            }
        } else if ((nature.place & kDesktops) == 0) {
            return kDesktopOnly;
        }
        if (runs_in() & nature.lead) {
            return nature.skips_beside_lead_because;
        }
        return nature.skips_because;
    }

    Scenario scenario_;
    unsigned places_ = 0;
    Outcome outcome_;
    std::optional<Outcome> compat_outcome_;
    std::vector<std::pair<unsigned, const char *>> skips_;
    std::map<Stack, Outcome> exceptions_;
    std::map<Stack, const char *> sanitizers_stop_in_;
};

Camera camera(std::uint8_t register_value, const char *fault = "none") {
    return Camera{register_value, fault, "none"};
}

Camera lying(const char *lie) {
    return Camera{0x5A, "none", lie};
}

// The decoys of the in-memory libusbs: a root hub on each bus, and devices
// that share only the vendor or only the product ID with the camera.
const char kInMemoryDecoys[] =
    "bus; device 1d6b:0002; device 05a9:1234; device 046d:2800; bus; device 1d6b:0003; ";

std::vector<Scenario> build_rows() {
    const Outcome one_healthy_camera = shows({answers(0x00)});
    const Outcome lying_camera_probed = shows({answers(0x5A)});
    // libusb 0.1.12 opens a node it may not write read-only; usbfs then
    // refuses every transfer before it reaches the camera. libusb-compat
    // lists the camera from sysfs, and its open fails.
    const Outcome read_only_node = reaching(shows({both_reads_fail(not_permitted)}), 0);
    const Outcome compat_open_fails = reaching(shows({cannot_open()}), 0);
    const Outcome driver_then_exchange = shows({beside_the_driver()});
    const Row rows[] = {
        Row("OneCameraAmongDecoys", {camera(0x00)})
            .script(std::string(kInMemoryDecoys) + "camera 0x00")
            .prints(one_healthy_camera).runs(usbfs | kGuests | windows | client),
        Row("NoCamera", {}).script("bus; device 1d6b:0002; bus")
            .prints(nothing()).runs(usbfs | windows | client),
        Row("TwoCameras", {camera(0x9A), camera(0x9A)}).script("bus; camera 0x9a; bus; camera 0x9a")
            .prints(shows({answers(0x9A), answers(0x9A)}))
            .runs(usbfs | amd64_guest | arm_guest | windows | client),
        Row("HighRegisterByte", {camera(0x9A)})
            .prints(shows({answers(0x9A)})).runs(usbfs | client)
            .skips(kGuests | windows, kTwoCamerasShowIt),
        Row("StalledFirstRead", {camera(0x00, "stall")}).script("bus; camera; reply stall")
            .prints(shows({first_read_fails(stall)}))
            .runs(usbfs | amd64_guest | arm_guest | windows | client),
        Row("StalledSecondRead", {camera(0x00, "stall-second-read")})
            .script("bus; camera; reply 1 0x00; reply 0; reply stall")
            .prints(shows({second_read_fails(0x00, stall)})).runs(usbfs | kGuests | windows | client),
        Row("StalledReads", {camera(0x00, "stall-reads")})
            .prints(shows({both_reads_fail(stall)})).runs(usbfs),
        // Whichever camera comes second shows the byte the first one's read
        // back left behind.
        Row("StalledFirstReadsCarryTheByteIntoTheSecondCamera",
            {camera(0x00, "stall"), camera(0x00, "stall")})
            .prints(shows({first_read_fails(stall), first_read_fails(stall)}))
            .runs(usbfs | amd64_guest)
            .skips(kMemory, "StalledReadCarriesTheByteIntoTheSecondCamera scripts it"),
        Row("ZeroLengthFirstRead", {camera(0x00, "zero-length")})
            .prints(shows({first_read_fails(no_data)})).runs(usbfs | amd64_guest | windows),
        Row("ZeroLengthReads", {camera(0x00, "zero-length-reads")})
            .prints(shows({both_reads_fail(no_data)})).runs(usbfs | client),
        Row("NoAnswer", {camera(0x00, "no-answer-at-all")}).unanswered(3)
            .prints(shows({both_reads_fail(timed_out)})).runs(usbfs),
        Row("NoAnswerToFirstRead", {camera(0x00, "no-answer")}).unanswered(1)
            .prints(shows({first_read_fails(timed_out)}))
            .runs(usbfs | amd64_guest | windows | client),
        // Once unplugged, a camera stays gone. On the wire the unplug cuts the
        // transfer in flight (ESHUTDOWN), and only that one reaches the camera.
        Row("UnpluggedAtFirstRead", {camera(0x00, "unplug")})
            .prints(shows({unplugged_at_first_read()})).runs(usbfs | kGuests | windows | client)
            .skips(kMemory, "UnpluggedCameraThenAHealthyOne scripts an unplug"),
        Row("UnpluggedDuringTheWrite", {camera(0x00, "unplug-at-write")})
            .prints(shows({unplugged_at_write(0x00)})).runs(usbfs | kAmd64Guest | windows),
        Row("RejectedWrite", {camera(0x42, "reject-write")})
            .prints(shows({write_not_taken(0x42)})).runs(usbfs | amd64_guest | windows),
        Row("HighByteAndRejectedWrite", {camera(0xC3, "reject-write")})
            .prints(shows({write_not_taken(0xC3)})).runs(usbfs),
        Row("UserWithReadOnlyNode", {camera(0x00)}).as_user_with_nodes(kReadOnlyNode)
            .prints(read_only_node).compat_prints(compat_open_fails).runs(kGuests),
        // A node it cannot read hides the camera from libusb 0.1.12.
        Row("UserWithoutAccessToTheNode", {camera(0x00)}).as_user_with_nodes(kNoAccessNode)
            .prints(unseen()).compat_prints(compat_open_fails).runs(kGuests),
        // Lies. On the testbed each library meets the lie as the device tells
        // it; in the guest only as far as the kernel lets it through: the kernel
        // keeps only the descriptors with a sound bLength and shows that in sysfs.
        // libusb-compat, through sysfs, leaves most of them out.
        Row("TotalLengthOneByteShort", {lying("total-length-short")})
            .note("wTotalLength 24, one byte short of its 25; Debian's kernel reads 24 bytes and "
                  "keeps the 18 whose lengths hold, dropping the cut endpoint")
            .prints(lying_camera_probed).compat_prints(unseen()).runs(usbfs | kAmd64Guest)
            .except({S::usbfs_compat}, crashes_in_the_scan(SIGSEGV))
            .sanitizers_stop_in(S::amd64_guest_libusb012, kOverReadInParse)
            .sanitizers_stop_in(S::amd64_guest_compat, kLeakInFindDevices),
        Row("TotalLengthTooLong", {lying("total-length-long")})
            .note("wTotalLength 64 for 25 bytes; Debian's kernel says \"descriptor too short\" and "
                  "keeps the 25")
            .prints(lying_camera_probed).runs(usbfs | kAmd64Guest)
            .sanitizers_stop_in(S::amd64_guest_libusb012, kOverReadInParse),
        // libusb-1.0 refuses the wTotalLength of 4 that sysfs still shows.
        Row("TotalLengthShorterThanItsHeader", {lying("total-length-tiny")})
            .note("wTotalLength 4, shorter than the configuration descriptor; Debian's kernel "
                  "reads 9 bytes, a configuration without interfaces, and its node shows 4")
            .prints(lying_camera_probed).compat_prints(unseen()).runs(usbfs | kAmd64Guest)
            .except({S::usbfs_libusb012}, skipped(kOriginalOverrunsTinyConfiguration)),
        Row("NoConfigurations", {lying("no-configurations")})
            .note("bNumConfigurations 0; Debian's kernel refuses the device")
            .prints(lying_camera_probed).runs(usbfs).skips(kAmd64Guest, kKernelRefusesTheDevice),
        // libusb 0.1.12 leaves the configurations above eight unread; libusb-1.0
        // leaves the device out. The kernel keeps eight of the nine.
        Row("NineConfigurations", {lying("many-configurations")})
            .note("nine configurations; Debian's kernel keeps eight")
            .prints(lying_camera_probed).compat_prints(unseen()).runs(usbfs | kAmd64Guest)
            .except({S::amd64_guest_compat}, lying_camera_probed),
        // libusb-1.0 finds no second configuration and leaves the device out.
        Row("ClaimsAConfigurationItLacks", {lying("missing-configuration")})
            .note("bNumConfigurations 2 and one configuration; the device does not come up on "
                  "Debian's kernel")
            .prints(lying_camera_probed).compat_prints(unseen()).runs(usbfs)
            .skips(kAmd64Guest, kKernelRefusesTheDevice),
        // libusb-1.0 cannot parse the configuration; libusb-compat then leaves
        // the device out without freeing it.
        Row("EndpointOfLengthZero", {lying("endpoint-length-zero")})
            .note("an endpoint descriptor with bLength 0; Debian's kernel skips the rest of the "
                  "configuration")
            .prints(lying_camera_probed).compat_prints(unseen()).runs(usbfs | kAmd64Guest)
            .sanitizers_stop_in(S::amd64_guest_libusb012, kOverReadInParse)
            .sanitizers_stop_in(S::amd64_guest_compat, kLeakInFindDevices),
        Row("ConfigurationAnsweredShort", {lying("short-configuration-answer")})
            .note("GET_DESCRIPTOR answers 18 of the configuration's 25 bytes; Debian's kernel says "
                  "\"descriptor too short\" and keeps 18")
            .prints(lying_camera_probed).compat_prints(unseen()).runs(kAmd64Guest)
            .skips(usbfs, kNoDescriptorReadOnUsbfs)
            .sanitizers_stop_in(S::amd64_guest_libusb012, kOverReadInParse)
            .sanitizers_stop_in(S::amd64_guest_compat, kLeakInFindDevices),
        // On usbfs both reads fail as babble: EOVERFLOW, which libusb-compat
        // passes on from libusb-1.0's LIBUSB_ERROR_OVERFLOW. On the wire QEMU's
        // host controller keeps the byte asked for and drops the other.
        Row("ReadsAnsweredWithAByteTooMany", {camera(0x5A, kLongReads)})
            .note("each read answered with 2 bytes to its 1")
            .prints(shows({both_reads_fail(overflow)})).runs(usbfs | kAmd64Guest)
            .except({S::amd64_guest_libusb012, S::amd64_guest_compat}, lying_camera_probed),
        // The USB file system itself: libusb 0.1.12 scans /dev/bus/usb, and fails
        // without it or on a bus there it cannot open; libusb-compat finds the
        // devices in sysfs through libusb-1.0: no USB file system is an empty
        // bus list, and the bus directories play no part.
        Row("NoUsbFilesystem", {}).decoys({}).usb_filesystem(UsbFilesystem::missing)
            .note("no /dev/bus/usb, as in most containers")
            .prints(scan_fails(expected::kNoBuses)).compat_prints(nothing()).runs(usbfs),
        Row("UnreadableBusDirectory", {camera(0x00)})
            .usb_filesystem(UsbFilesystem::bus_directory_unreadable)
            .note("a bus listed in /dev/bus/usb whose directory cannot be opened")
            .prints(reaching(scan_fails(expected::kNoDevices), 0))
            .compat_prints(one_healthy_camera).runs(usbfs),
        // What only the in-memory libusbs can script.
        Row("FailedBusScan", {camera(0x00)}).script("scan -1 1; bus; camera")
            .prints(scan_fails(expected::kNoBuses)).runs(dll_double),
        Row("FailedDeviceScan", {camera(0x00)}).script("scan 0 -5; bus; camera")
            .prints(scan_fails(expected::kNoDevices)).runs(dll_double),
        // The first camera's write does not take, so its last read (0x7e)
        // differs from the value written; the second camera's stalled read
        // still shows it.
        Row("StalledReadCarriesTheByteIntoTheSecondCamera", {camera(0x9A), camera(0x33, "stall")})
            .script("bus; camera; reply 1 0x9a; reply 0; reply 1 0x7e; bus; camera 0x33; "
                    "reply stall")
            .prints(shows({{true, delivered(0x9A), delivered(0x7E)}, first_read_fails(stall)})),
        Row("UnpluggedCameraThenAHealthyOne", {camera(0x00, "unplug"), camera(0x07)})
            .script("bus; camera; reply gone; reply gone; reply gone; camera 0x07")
            .prints(shows({both_reads_fail(gone), answers(0x07)})),
        Row("CameraThatCannotBeOpened", {camera(0x00), camera(0x07)})
            .script("bus; camera; open-fails; camera 0x07")
            .prints(shows({cannot_open(), answers(0x07)})).runs(dll_double),
        // The desktop rows: the driver loaded, then the row's cameras plugged
        // together and bound by it before camera-probe runs. Their faults hit
        // camera-probe's transfers, not the driver's.
        Row("OneCameraBesideTheDriver", {camera(0x00)}).then_video_application()
            .prints(driver_then_exchange).runs(kDesktops),
        Row("TwoCamerasBesideTheDriver", {camera(0x9A), camera(0x9A)})
            .prints(shows({beside_the_driver(), beside_the_driver()})).runs(desktop),
        Row("StalledFirstReadBesideTheDriver", {camera(0x00, "stall")})
            .prints(shows({first_read_fails(stall)})).runs(desktop),
        Row("NoAnswerToFirstReadBesideTheDriver", {camera(0x00, "no-answer")}).unanswered(1)
            .prints(shows({first_read_fails(timed_out)})).runs(desktop),
        // The unplug cuts camera-probe's first read; the driver lets the camera go.
        Row("UnpluggedAtFirstReadBesideTheDriver", {camera(0x00, "unplug")})
            .prints(shows({unplugged_at_first_read()})).runs(desktop | desktop_compat),
        Row("UserWithReadOnlyNodeBesideTheDriver", {camera(0x00)})
            .as_user_with_nodes(kReadOnlyNode)
            .prints(read_only_node).compat_prints(compat_open_fails).runs(desktop | desktop_compat),
        // The system rows: a Debian system with the package installed with apt
        // (unless a row says otherwise), each row's camera plugged anew, udev and
        // logind left to do what they do. A row's name says what was done first;
        // the system suite (tests/e2e/system_rows.cpp) does it.
        // apt installs the package with the camera plugged, the driver bound:
        // its postinst has udev apply the rule at once, without a replug.
        Row("InstalledWithTheCameraPlugged", {camera(0x00)}).as("probe")
            .prints(driver_then_exchange).runs(systems),
        // The seat's ACL, from logind, on a node that udev made after the
        // driver's probe: where there is no group plugdev too.
        Row("SeatUserBesideTheDriverUdevLoaded", {camera(0x00)}).as("probe")
            .prints(driver_then_exchange).runs(systems),
        // No session, so no ACL; the rule's group gives access.
        Row("PlugdevMemberWithoutASession", {camera(0x00)}).as("headless")
            .prints(driver_then_exchange).runs(systems)
            .except({S::amd64_system_forky}, skipped(kNoPlugdev)),
        // Logged in over ssh from the host: logind's session has no seat, so
        // no ACL; the group gives access.
        Row("PlugdevMemberOverSsh", {camera(0x00)}).as("headless")
            .prints(driver_then_exchange).runs(systems)
            .except({S::amd64_system_forky}, skipped(kNoPlugdev)),
        // Neither seat nor group: the node is readable, not writable.
        Row("UserInNoGroupWithoutASession", {camera(0x00)}).as("outsider")
            .prints(read_only_node).runs(systems),
        // Run the moment the camera's node appears after a replug, the driver
        // loaded: the library's scan waits while the driver probes. On 6.1
        // udev applies the rule only after the probe, so the node is still the
        // kernel's own (0600) and libusb 0.1.12 does not see the camera; on
        // 6.12 and later udev gives the node its group and ACL while the driver
        // probes, and the run reads the camera.
        Row("RunAtOnceAfterAReplugBesideTheDriver", {camera(0x00)}).as("probe")
            .prints(driver_then_exchange).runs(systems)
            .except({S::amd64_system_bookworm}, unseen()),
        // The blacklist written, then the module unloaded, then a replug: udev
        // leaves the driver out, and the first read is the camera's own value.
        Row("DriverBlacklistedAndUnloadedThenReplugged", {camera(0x00)}).as("probe")
            .prints(one_healthy_camera).runs(systems),
        // apt-get purge removes the rule; after a replug udev's defaults leave
        // the node read-only for the seat user (who runs a build of their own).
        Row("RulePurgedThenReplugged", {camera(0x00)}).as("probe")
            .prints(read_only_node).runs(systems),
    };
    std::vector<Scenario> scenarios;
    for (const Row &row : rows) {
        scenarios.push_back(row.scenario());
    }
    return scenarios;
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
