// SPDX-License-Identifier: MIT
#include "scenarios.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "probe_expectations.h"

namespace registry {

const char kUnsetCell[] = "no cell written for this stack";

namespace {

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
constexpr unsigned kPlugsLies = usbfs | kAmd64Guest;

const char kGuestTime[] =
    "not among the guest's rows: each costs seconds of the guest under TCG, and the kernel "
    "answers this one as a row that runs there";
const char kInMemory[] =
    "the in-memory libusbs play scripted results; this row is about what a device does on a "
    "real stack";
const char kScriptedOnly[] =
    "only an in-memory libusb can script this: no emulated device makes a library's scan fail, "
    "a write not take or an open fail";
const char kNoDriver[] = "the webcam driver is bound only in the desktop rows";
const char kSystemOnly[] =
    "a system row: it needs the package installed with apt, udev, logind and the system's "
    "users, which only the system guest has";
const char kDesktopOnly[] =
    "a desktop row: it runs where the kernel's webcam driver is bound to the camera";

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
const Nature kAmd64GuestCompatNature{
    amd64_guest_compat, kGuestTime, amd64_guest,
    "libusb-compat runs in the guest only the rows that tell the two libraries apart on the "
    "real kernel"};
const Nature kArmGuestNature{
    arm_guest, kGuestTime, amd64_guest,
    "the arm64 guest runs the rows that show its kernel and libusb 0.1.12 answer as on amd64"};
const Nature kWindowsNature{
    windows, "the Windows stack runs the first-read and write faults; this one adds nothing there"};
const Nature kClientNature{
    client, "the libusb-1.0 client proves the URB dialect with the faults whose results it names"};
const Nature kFakeNature{fake, kInMemory};
const Nature kDoubleNature{
    dll_double, kInMemory, fake,
    "libusb-win32's own stack gives these results and the fake libusb plays the script: the "
    "double runs only the library failures a real libusb0.dll cannot be made to give"};
const Nature kDesktopNature{desktop, nullptr};
const Nature kDesktopCompatNature{
    desktop_compat,
    "each desktop row costs the driver's probe, about 5.5 s under TCG; libusb 0.1.12 runs it"};
const Nature kArmDesktopNature{arm_desktop, "the arm64 guest runs the typical desktop row"};
const Nature kSystemNature{
    systems, nullptr, 0, nullptr,
    "the system guests run the rows about the installed package, udev, logind and its users; "
    "the busybox guests' columns run the camera's own behaviour"};

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
const Column kColumns[] = {
    {S::usbfs_libusb012, "usbfs, libusb 0.1.12",
     "Linux's usbfs, emulated on the host (umockdev), with libusb 0.1.12 (Debian, Ubuntu). The "
     "emulation answers at once where a kernel waits: see the guest's columns for the real "
     "kernel.",
     Audience::users, F::libusb012, &kUsbfsNature, &kLibusb012Codes},
    {S::usbfs_compat, "usbfs, libusb-compat",
     "The same, with libusb-compat-0.1 over libusb-1.0 (Fedora, Arch, openSUSE), on Linux's "
     "device nodes: [libusb.md](libusb.md).",
     Audience::users, F::compat, &kUsbfsNature, &kCompatCodes},
    {S::amd64_guest_libusb012, "amd64 guest, libusb 0.1.12",
     "Debian's own amd64 kernel in a QEMU guest, the cameras on its xHCI bus: what a Linux PC "
     "answers, with libusb 0.1.12.",
     Audience::users, F::libusb012, &kAmd64GuestNature, &kLibusb012Codes},
    {S::amd64_guest_compat, "amd64 guest, libusb-compat", "The same kernel with libusb-compat-0.1.",
     Audience::users, F::compat, &kAmd64GuestCompatNature, &kCompatCodes},
    {S::arm64_guest_arm64, "arm64 guest, arm64 build",
     "Debian's arm64 kernel in a QEMU guest, the arm64 package's build: [arm.md](arm.md).",
     Audience::users, F::libusb012, &kArmGuestNature, &kLibusb012Codes},
    {S::arm64_guest_armhf, "arm64 guest, armhf build",
     "The same kernel, the armhf package's build (32-bit user space).", Audience::users,
     F::libusb012, &kArmGuestNature, &kLibusb012Codes},
    {S::wine_stack, "Windows, libusb-win32",
     "Windows: libusb-win32's own libusb0.dll and libusb0.sys, under Wine: "
     "[windows.md](windows.md). Each line ends in CR LF there.",
     Audience::users, F::win32, &kWindowsNature, &kLibusbWin32Codes},
    {S::libusb0_double, "libusb0.dll double",
     "camera-probe.exe against the tests' libusb0.dll double, which plays a script: the library "
     "failures libusb-win32's own stack cannot be made to give, with Windows' exit status.",
     Audience::tests, F::fake, &kDoubleNature, &kLibusbWin32Codes},
    // libusb-compat's URBs, libusb-1.0's own codes.
    {S::libusb1_client, "libusb-1.0 client",
     "The tests' libusb-1.0 client, which runs the same exchange: the URBs libusb-compat-0.1 "
     "sends.",
     Audience::tests, F::compat, &kClientNature, &kLibusb1Codes},
    {S::fake_libusb, "fake libusb",
     "The tool's code against the unit tests' in-memory libusb, playing the double's scripts.",
     Audience::tests, F::fake, &kFakeNature, &kLibusbWin32Codes},
    {S::amd64_desktop_libusb012, "amd64 guest with the webcam driver, libusb 0.1.12",
     "A Linux desktop: the amd64 guest with the kernel's webcam driver for this camera "
     "(gspca_ov519) bound to it. The first read shows what the driver's initialisation left in "
     "register 0x13: 0x27 for a camera that powers up with 0x00, 0xbf for one with 0x9a. Why, "
     "what the driver may later write over the 0x15, and how to read without it: the README's "
     "section on the driver.",
     Audience::users, F::libusb012, &kDesktopNature, &kLibusb012Codes},
    {S::amd64_desktop_compat, "amd64 guest with the webcam driver, libusb-compat",
     "The same desktop with libusb-compat-0.1.", Audience::users, F::compat, &kDesktopCompatNature,
     &kCompatCodes},
    {S::arm64_desktop_arm64, "arm64 guest with the webcam driver, arm64 build",
     "The arm64 guest with the same driver (a Raspberry Pi desktop has it), the arm64 "
     "package's build.",
     Audience::users, F::libusb012, &kArmDesktopNature, &kLibusb012Codes},
    {S::arm64_desktop_armhf, "arm64 guest with the webcam driver, armhf build",
     "The same, the armhf package's build.", Audience::users, F::libusb012, &kArmDesktopNature,
     &kLibusb012Codes},
    {S::amd64_system_trixie, "Debian 13 system guest, the package installed, libusb 0.1.12",
     "A Debian 13 (trixie) system as a user has it, kernel 6.12" CAMERA_PROBE_SYSTEM_ABOUT,
     Audience::users, F::libusb012, &kSystemNature, &kLibusb012Codes},
    {S::amd64_system_bookworm, "Debian 12 system guest, the package installed, libusb 0.1.12",
     "A Debian 12 (bookworm) system as a user has it, kernel 6.1" CAMERA_PROBE_SYSTEM_ABOUT,
     Audience::users, F::libusb012, &kSystemNature, &kLibusb012Codes},
    {S::amd64_system_forky,
     "udev of Fedora, Arch and openSUSE (Debian testing), their rule, no plugdev",
     "Debian testing (forky), whose udev is as new as Fedora's, Arch's and openSUSE's, with no "
     "group named plugdev, as on those systems, and after the install the rule the RPM and the "
     "Arch package install in place of the .deb's" CAMERA_PROBE_SYSTEM_ABOUT,
     Audience::users, F::libusb012, &kSystemNature, &kLibusb012Codes},
};
#undef CAMERA_PROBE_SYSTEM_ABOUT

}  // namespace

const Column &column(Stack stack) {
    for (const Column &listed : kColumns) {
        if (listed.stack == stack) {
            return listed;
        }
    }
    throw std::invalid_argument("no column for stack " + std::to_string(static_cast<int>(stack)));
}

const char *stack_name(Stack stack) {
    return column(stack).name;
}

Read delivers(int result, std::uint8_t byte) {
    return Read{result, byte};
}

Read delivers_what_the_driver_left() {
    return Read{1, std::nullopt, true};
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

// What happened to a transfer, as the entry of each column's code table
// that holds the number it prints.
using Code = int Codes::*;
constexpr Code stall = &Codes::stall;
constexpr Code timed_out = &Codes::timed_out;
constexpr Code gone = &Codes::gone;
constexpr Code not_permitted = &Codes::not_permitted;
constexpr Code overflow = &Codes::overflow;
constexpr Code no_data = &Codes::no_data;

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
// (0 the first read, 1 the write): a real kernel cuts a read there short,
// and no later transfer reaches the camera.
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
    Outcome(std::vector<CameraIs> shown = {}, Result rest_of_cell = {})
        : cameras(std::move(shown)), rest(std::move(rest_of_cell)) {}
    // Not explicit: a row's one camera is its outcome.
    Outcome(CameraIs camera) : cameras{camera} {}
    std::vector<CameraIs> cameras;
    Result rest;
};
Outcome shows(std::vector<CameraIs> cameras) {
    return Outcome(std::move(cameras));
}
Outcome reaching(Outcome outcome, std::size_t transfers) {
    outcome.rest.transfers_reaching_camera = transfers;
    return outcome;
}
// The library does not list the camera: nothing is printed or sent.
Outcome unseen() {
    return reaching(Outcome(), 0);
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
    return Outcome({}, not_applicable(reason));
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
    const bool cuts = (column(stack).nature->place & kRealKernel) != 0;
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
            if (camera.unplugged_at == 0) {
                printed.first = keeps(codes.cut_by_unplug);
            }
        }
        result.cameras.push_back(printed);
    }
    return result;
}

bool changes_the_usb_filesystem(const Scenario &row) {
    return row.usb_filesystem != UsbFilesystem::as_the_kernel_makes_it;
}
// Where a row that runs neither beside the driver nor in the system guests
// is left out for what it is about, before a column's own reason.
struct KindRule {
    bool (*applies)(const Scenario &row);
    unsigned places;
    const char *reason;
};
const KindRule kKindRules[] = {
    {tells_lies, ~kPlugsLies, "a descriptor lie is about the Linux kernel and libusb's parsers"},
    {[](const Scenario &row) { return !row.node_mode.empty(); }, ~kRealKernel,
     "needs the device nodes and permissions of a real kernel (the guests)"},
    {changes_the_usb_filesystem, kGuests,
     "the guest's kernel makes /dev/bus/usb and every bus directory in it"},
    {changes_the_usb_filesystem, windows | client,
     "only the Linux libusb 0.1 implementations scan /dev/bus/usb"},
    {changes_the_usb_filesystem, kMemory,
     "FailedBusScan and FailedDeviceScan script a failed scan"},
};

// A row: its cameras, the places it runs, one outcome for every library
// (libusb-compat's where it differs), and the columns that differ from
// their library's outcome or leave it out for a reason of the row's own.
// Every other cell comes from the columns.
struct Row {
    Scenario scenario;
    unsigned places;
    Outcome outcome;
    std::optional<Outcome> compat_outcome;
    std::vector<std::pair<unsigned, const char *>> skips;
    std::map<Stack, Outcome> exceptions;
    std::map<Stack, const char *> sanitizers_stop_in;

    unsigned runs_in() const { return places | (scenario.script.empty() ? 0U : fake); }
    const Outcome *outcome_on(Stack stack) const {
        auto exception = exceptions.find(stack);
        if (exception != exceptions.end()) {
            return &exception->second;
        }
        if ((runs_in() & column(stack).nature->place) == 0) {
            return nullptr;
        }
        const bool compat = column(stack).family == Family::compat && compat_outcome;
        return compat ? &*compat_outcome : &outcome;
    }

    const char *reason_left_out(Stack stack) const {
        const Nature &nature = *column(stack).nature;
        for (const auto &[skipped_places, reason] : skips) {
            if (skipped_places & nature.place) {
                return reason;
            }
        }
        if (places & systems) {
            return nature.place == systems ? nullptr : kSystemOnly;
        }
        if (nature.other_rows_not_run_because) {
            return nature.other_rows_not_run_because;
        }
        if (places & kDesktops) {
            if ((nature.place & kDesktops) == 0) {
                return kDesktopOnly;
            }
        } else if (nature.place & kDesktops) {
            return kNoDriver;
        } else {
            for (const KindRule &rule : kKindRules) {
                if ((rule.places & nature.place) && rule.applies(scenario)) {
                    return rule.reason;
                }
            }
            if ((runs_in() & kDevices) == 0 && (nature.place & kDevices)) {
                return kScriptedOnly;
            }
        }
        return (runs_in() & nature.lead) ? nature.skips_beside_lead_because : nature.skips_because;
    }
};
using Tweak = std::function<void(Row &row)>;

// The row with a cell for each column that has one to give: a column
// without leaves the row without a cell, which the registry's own test
// finds.
Scenario row(std::string name, std::vector<Camera> cameras, unsigned places, Outcome outcome,
             const std::vector<Tweak> &tweaks = {}) {
    Row row{{}, places, std::move(outcome), {}, {}, {}, {}};
    row.scenario.name = std::move(name);
    row.scenario.cameras = std::move(cameras);
    for (const Tweak &tweak : tweaks) {
        tweak(row);
    }
    Scenario scenario = row.scenario;
    for (Stack stack : kStacks) {
        if (const Outcome *cell = row.outcome_on(stack)) {
            scenario.cells.emplace(stack, printed_on(*cell, stack, scenario.name));
        } else if (const char *reason = row.reason_left_out(stack)) {
            scenario.cells.emplace(stack, not_applicable(reason));
        }
        auto stop = row.sanitizers_stop_in.find(stack);
        if (stop != row.sanitizers_stop_in.end()) {
            scenario.cells.at(stack).sanitizers_stop_in = stop->second;
        }
    }
    return scenario;
}

Tweak compat(Outcome outcome) {
    return [outcome](Row &row) { row.compat_outcome = outcome; };
}
// Columns whose cell differs from their library's outcome.
Tweak except(std::initializer_list<Stack> stacks, Outcome outcome) {
    return [listed = std::vector<Stack>(stacks), outcome](Row &row) {
        for (Stack stack : listed) {
            if (!row.exceptions.emplace(stack, outcome).second) {
                throw std::logic_error(row.scenario.name + " excepts " + stack_name(stack) +
                                       " twice");
            }
        }
    };
}
// Places left out for a reason of the row's own.
Tweak skip(unsigned places, const char *reason) {
    return [places, reason](Row &row) { row.skips.emplace_back(places, reason); };
}
Tweak sanitizers_stop_in(Stack stack, const char *function) {
    return [stack, function](Row &row) { row.sanitizers_stop_in.emplace(stack, function); };
}
// A tweak that sets one of the row's fields, named as the rows use it.
template <typename Field>
constexpr auto sets(Field Scenario::*field) {
    return [field](Field value) -> Tweak {
        return [field, value](Row &row) { row.scenario.*field = value; };
    };
}
constexpr auto script = sets(&Scenario::script);
constexpr auto note = sets(&Scenario::note);
constexpr auto unanswered = sets(&Scenario::unanswered);
constexpr auto nodes = sets(&Scenario::node_mode);
constexpr auto as = sets(&Scenario::system_user);
constexpr auto filesystem = sets(&Scenario::usb_filesystem);

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
    const Outcome one_healthy_camera = answers(0x00);
    const Outcome lying_camera_probed = answers(0x5A);
    // libusb 0.1.12 opens a node it may not write read-only; usbfs then
    // refuses every transfer before it reaches the camera. libusb-compat
    // lists the camera from sysfs, and its open fails.
    const Outcome read_only_node = reaching(both_reads_fail(not_permitted), 0);
    const Tweak compat_open_fails = compat(reaching(cannot_open(), 0));
    // libusb 0.1.12 over-reads a lying configuration; libusb-compat leaks a
    // device it leaves out: sanitizers stop the probe in the guest.
    const Tweak over_read = sanitizers_stop_in(S::amd64_guest_libusb012, "usb_parse_configuration");
    const Tweak leak = sanitizers_stop_in(S::amd64_guest_compat, "find_devices");
    const char *const no_plugdev = "the system has no group plugdev, as Fedora, Arch and openSUSE";
    const char *const kernel_refuses = "Debian's kernel does not bring such a device up";
    const Tweak no_decoys = sets(&Scenario::decoys)({});
    const Tweak then_video_application = sets(&Scenario::video_application_after)(true);
    return {
        row("OneCameraAmongDecoys", {camera(0x00)}, usbfs | kGuests | windows | client,
            one_healthy_camera, {script(std::string(kInMemoryDecoys) + "camera 0x00")}),
        row("NoCamera", {}, usbfs | windows | client, Outcome(),
            {script("bus; device 1d6b:0002; bus")}),
        row("TwoCameras", {camera(0x9A), camera(0x9A)},
            usbfs | amd64_guest | arm_guest | windows | client,
            shows({answers(0x9A), answers(0x9A)}), {script("bus; camera 0x9a; bus; camera 0x9a")}),
        row("HighRegisterByte", {camera(0x9A)}, usbfs | client, answers(0x9A),
            {skip(kGuests | windows, "TwoCameras shows a high register byte here")}),
        row("StalledFirstRead", {camera(0x00, "stall")},
            usbfs | amd64_guest | arm_guest | windows | client, first_read_fails(stall),
            {script("bus; camera; reply stall")}),
        row("StalledSecondRead", {camera(0x00, "stall-second-read")},
            usbfs | kGuests | windows | client, second_read_fails(0x00, stall),
            {script("bus; camera; reply 1 0x00; reply 0; reply stall")}),
        row("StalledReads", {camera(0x00, "stall-reads")}, usbfs, both_reads_fail(stall)),
        // Whichever camera comes second shows the byte the first one's read
        // back left behind.
        row("StalledFirstReadsCarryTheByteIntoTheSecondCamera",
            {camera(0x00, "stall"), camera(0x00, "stall")}, usbfs | amd64_guest,
            shows({first_read_fails(stall), first_read_fails(stall)}),
            {skip(kMemory, "StalledReadCarriesTheByteIntoTheSecondCamera scripts it")}),
        row("ZeroLengthFirstRead", {camera(0x00, "zero-length")}, usbfs | amd64_guest | windows,
            first_read_fails(no_data)),
        row("ZeroLengthReads", {camera(0x00, "zero-length-reads")}, usbfs | client,
            both_reads_fail(no_data)),
        row("NoAnswer", {camera(0x00, "no-answer-at-all")}, usbfs, both_reads_fail(timed_out),
            {unanswered(3)}),
        row("NoAnswerToFirstRead", {camera(0x00, "no-answer")},
            usbfs | amd64_guest | windows | client, first_read_fails(timed_out), {unanswered(1)}),
        // Once unplugged, a camera stays gone. On the wire the unplug cuts the
        // transfer in flight (ESHUTDOWN), and only that one reaches the camera.
        row("UnpluggedAtFirstRead", {camera(0x00, "unplug")}, usbfs | kGuests | windows | client,
            unplugged_at_first_read(),
            {skip(kMemory, "UnpluggedCameraThenAHealthyOne scripts an unplug")}),
        row("UnpluggedDuringTheWrite", {camera(0x00, "unplug-at-write")},
            usbfs | kAmd64Guest | windows, unplugged_at_write(0x00)),
        row("RejectedWrite", {camera(0x42, "reject-write")}, usbfs | amd64_guest | windows,
            write_not_taken(0x42)),
        row("HighByteAndRejectedWrite", {camera(0xC3, "reject-write")}, usbfs,
            write_not_taken(0xC3)),
        row("UserWithReadOnlyNode", {camera(0x00)}, kGuests, read_only_node,
            {nodes(kReadOnlyNode), compat_open_fails}),
        // A node it cannot read hides the camera from libusb 0.1.12.
        row("UserWithoutAccessToTheNode", {camera(0x00)}, kGuests, unseen(),
            {nodes(kNoAccessNode), compat_open_fails}),
        // Lies. On the testbed each library meets the lie as the device tells
        // it; in the guest only as far as the kernel lets it through: the kernel
        // keeps only the descriptors with a sound bLength and shows that in sysfs.
        // libusb-1.0, under libusb-compat, leaves most of them out.
        row("TotalLengthOneByteShort", {lying("total-length-short")}, usbfs | kAmd64Guest,
            lying_camera_probed,
            {compat(unseen()), except({S::usbfs_compat}, crashes_in_the_scan(SIGSEGV)), over_read,
             leak,
             note("wTotalLength 24, one byte short of its 25; Debian's kernel reads 24 bytes and "
                  "keeps the 18 whose lengths hold, dropping the cut endpoint")}),
        row("TotalLengthTooLong", {lying("total-length-long")}, usbfs | kAmd64Guest,
            lying_camera_probed,
            {over_read, note("wTotalLength 64 for 25 bytes; Debian's kernel says \"descriptor too "
                             "short\" and keeps the 25")}),
        // libusb-1.0 refuses the wTotalLength of 4 that sysfs still shows.
        row("TotalLengthShorterThanItsHeader", {lying("total-length-tiny")}, usbfs | kAmd64Guest,
            lying_camera_probed,
            {compat(unseen()),
             except({S::usbfs_libusb012},
                    skipped("libusb 0.1.12's usb_os_find_devices() copies 8 bytes into a 4-byte "
                            "buffer and asks the node for (size_t)-4 more, which aborts "
                            "umockdev's ioctl server in the test's own process")),
             note("wTotalLength 4, shorter than the configuration descriptor; Debian's kernel "
                  "reads 9 bytes, a configuration without interfaces, and its node shows 4")}),
        row("NoConfigurations", {lying("no-configurations")}, usbfs, lying_camera_probed,
            {skip(kAmd64Guest, kernel_refuses),
             note("bNumConfigurations 0; Debian's kernel refuses the device")}),
        // libusb 0.1.12 leaves the configurations above eight unread; libusb-1.0
        // leaves the device out. The kernel keeps eight of the nine.
        row("NineConfigurations", {lying("many-configurations")}, usbfs | kAmd64Guest,
            lying_camera_probed,
            {compat(unseen()), except({S::amd64_guest_compat}, lying_camera_probed),
             note("nine configurations; Debian's kernel keeps eight")}),
        // libusb-1.0 finds no second configuration and leaves the device out.
        row("ClaimsAConfigurationItLacks", {lying("missing-configuration")}, usbfs,
            lying_camera_probed,
            {compat(unseen()), skip(kAmd64Guest, kernel_refuses),
             note("bNumConfigurations 2 and one configuration; the device does not come up on "
                  "Debian's kernel")}),
        // libusb-1.0 cannot parse the configuration; libusb-compat then leaves
        // the device out without freeing it.
        row("EndpointOfLengthZero", {lying("endpoint-length-zero")}, usbfs | kAmd64Guest,
            lying_camera_probed,
            {compat(unseen()), over_read, leak,
             note("an endpoint descriptor with bLength 0; Debian's kernel skips the rest of the "
                  "configuration")}),
        row("ConfigurationAnsweredShort", {lying("short-configuration-answer")}, kAmd64Guest,
            lying_camera_probed,
            {compat(unseen()), over_read, leak,
             skip(usbfs,
                  "the libraries read no descriptor from the device on emulated usbfs: a short "
                  "answer to GET_DESCRIPTOR is the kernel's to meet"),
             note("GET_DESCRIPTOR answers 18 of the configuration's 25 bytes; Debian's kernel "
                  "says \"descriptor too short\" and keeps 18")}),
        // On usbfs both reads fail as babble: EOVERFLOW, which libusb-compat
        // passes on from libusb-1.0's LIBUSB_ERROR_OVERFLOW. On the wire QEMU's
        // host controller keeps the byte asked for and drops the other.
        row("ReadsAnsweredWithAByteTooMany", {camera(0x5A, kLongReads)}, usbfs | kAmd64Guest,
            both_reads_fail(overflow),
            {except({S::amd64_guest_libusb012, S::amd64_guest_compat}, lying_camera_probed),
             note("each read answered with 2 bytes to its 1")}),
        // The USB file system: libusb-compat, through libusb-1.0's sysfs, sees
        // an empty bus list without it, and no bus directory.
        row("NoUsbFilesystem", {}, usbfs, scan_fails(expected::kNoBuses),
            {compat(Outcome()), no_decoys, filesystem(UsbFilesystem::missing),
             note("no /dev/bus/usb, as in most containers")}),
        row("UnreadableBusDirectory", {camera(0x00)}, usbfs,
            reaching(scan_fails(expected::kNoDevices), 0),
            {compat(one_healthy_camera), filesystem(UsbFilesystem::bus_directory_unreadable),
             note("a bus listed in /dev/bus/usb whose directory cannot be opened")}),
        // What only the in-memory libusbs can script.
        row("FailedBusScan", {camera(0x00)}, dll_double, scan_fails(expected::kNoBuses),
            {script("scan -1 1; bus; camera")}),
        row("FailedDeviceScan", {camera(0x00)}, dll_double, scan_fails(expected::kNoDevices),
            {script("scan 0 -5; bus; camera")}),
        // The first camera's write does not take, so its last read (0x7e)
        // differs from the value written; the second camera's stalled read
        // still shows it.
        row("StalledReadCarriesTheByteIntoTheSecondCamera", {camera(0x9A), camera(0x33, "stall")},
            0, shows({{true, delivered(0x9A), delivered(0x7E)}, first_read_fails(stall)}),
            {script("bus; camera; reply 1 0x9a; reply 0; reply 1 0x7e; bus; camera 0x33; "
                    "reply stall")}),
        row("UnpluggedCameraThenAHealthyOne", {camera(0x00, "unplug"), camera(0x07)}, 0,
            shows({both_reads_fail(gone), answers(0x07)}),
            {script("bus; camera; reply gone; reply gone; reply gone; camera 0x07")}),
        row("CameraThatCannotBeOpened", {camera(0x00), camera(0x07)}, dll_double,
            shows({cannot_open(), answers(0x07)}),
            {script("bus; camera; open-fails; camera 0x07")}),
        // The desktop rows, the cameras plugged together and bound by the driver:
        // their faults hit camera-probe's transfers, not the driver's.
        row("OneCameraBesideTheDriver", {camera(0x00)}, kDesktops, beside_the_driver(),
            {then_video_application}),
        row("TwoCamerasBesideTheDriver", {camera(0x9A), camera(0x9A)}, desktop,
            shows({beside_the_driver(), beside_the_driver()})),
        row("StalledFirstReadBesideTheDriver", {camera(0x00, "stall")}, desktop,
            first_read_fails(stall)),
        row("NoAnswerToFirstReadBesideTheDriver", {camera(0x00, "no-answer")}, desktop,
            first_read_fails(timed_out), {unanswered(1)}),
        // The unplug cuts camera-probe's first read; the driver lets the camera go.
        row("UnpluggedAtFirstReadBesideTheDriver", {camera(0x00, "unplug")},
            desktop | desktop_compat, unplugged_at_first_read()),
        row("UserWithReadOnlyNodeBesideTheDriver", {camera(0x00)}, desktop | desktop_compat,
            read_only_node, {nodes(kReadOnlyNode), compat_open_fails}),
        // The system rows, each camera plugged anew: what a row's name says was
        // done first, tests/e2e/system_rows.cpp does.
        // apt installs the package with the camera plugged, the driver bound:
        // its postinst has udev apply the rule at once, without a replug.
        row("InstalledWithTheCameraPlugged", {camera(0x00)}, systems, beside_the_driver(),
            {as("probe")}),
        // The seat's ACL, from logind, on a node that udev made after the
        // driver's probe: where there is no group plugdev too.
        row("SeatUserBesideTheDriverUdevLoaded", {camera(0x00)}, systems, beside_the_driver(),
            {as("probe")}),
        // No session, so no ACL; the rule's group gives access.
        row("PlugdevMemberWithoutASession", {camera(0x00)}, systems, beside_the_driver(),
            {as("headless"), except({S::amd64_system_forky}, skipped(no_plugdev))}),
        // Logged in over ssh from the host: logind's session has no seat, so
        // no ACL; the group gives access.
        row("PlugdevMemberOverSsh", {camera(0x00)}, systems, beside_the_driver(),
            {as("headless"), except({S::amd64_system_forky}, skipped(no_plugdev))}),
        // Neither seat nor group: the node is readable, not writable.
        row("UserInNoGroupWithoutASession", {camera(0x00)}, systems, read_only_node,
            {as("outsider")}),
        // Run the moment the camera's node appears after a replug, the driver
        // loaded: the library's scan waits while the driver probes. On 6.1
        // udev applies the rule only after the probe, so the node is still the
        // kernel's own (0600) and libusb 0.1.12 does not see the camera; on
        // 6.12 and later udev gives the node its group and ACL while the driver
        // probes, and the run reads the camera.
        row("RunAtOnceAfterAReplugBesideTheDriver", {camera(0x00)}, systems, beside_the_driver(),
            {as("probe"), except({S::amd64_system_bookworm}, unseen())}),
        // The blacklist written, then the module unloaded, then a replug: udev
        // leaves the driver out, and the first read is the camera's own value.
        row("DriverBlacklistedAndUnloadedThenReplugged", {camera(0x00)}, systems,
            one_healthy_camera, {as("probe")}),
        // apt-get purge removes the rule; after a replug udev's defaults leave
        // the node read-only for the seat user (who runs a build of their own).
        row("RulePurgedThenReplugged", {camera(0x00)}, systems, read_only_node, {as("probe")}),
    };
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
    std::copy_if(scenarios().begin(), scenarios().end(), std::back_inserter(rows),
                 [stack](const Scenario &row) { return row.on(stack).applies(); });
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

std::string expected_output(const Result &result, std::uint8_t &probe_byte,
                            const std::vector<std::uint8_t> &driver_left) {
    if (!result.scan_failure.empty()) {
        return result.scan_failure;
    }
    std::string text;
    for (std::size_t i = 0; i < result.cameras.size(); ++i) {
        const CameraOutput &camera = result.cameras[i];
        auto left = i < driver_left.size() ? std::optional(driver_left[i]) : std::nullopt;
        text += expected::kAnnouncement;
        if (!camera.opened) {
            text += expected::kOpenFailed;
            continue;
        }
        text += read_line(camera.first, probe_byte, left);
        text += read_line(camera.second, probe_byte, left);
    }
    return text;
}

std::string expected_output(const Result &result, const std::vector<std::uint8_t> &driver_left) {
    std::uint8_t probe_byte = expected::kProbeBytePreset;
    return expected_output(result, probe_byte, driver_left);
}

}  // namespace registry
