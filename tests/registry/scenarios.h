// SPDX-License-Identifier: MIT
// Every scenario the suites run, once: the cameras a row plugs, and what
// camera-probe prints with them on each stack it runs on, or why the row
// does not run there. Each suite runs its own column. Plain data, with no
// emulator or libusb header, so that the Windows build reads it too.
#ifndef CAMERA_PROBE_TESTS_REGISTRY_SCENARIOS_H
#define CAMERA_PROBE_TESTS_REGISTRY_SCENARIOS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "probe_expectations.h"
#include "result_codes.h"

namespace registry {

// The stacks camera-probe runs on in the tests, one column each, listed
// once: the enumeration and kStacks are both made from this list, so a new
// column is in both.
#define CAMERA_PROBE_REGISTRY_STACKS(STACK)                                           \
    STACK(usbfs_libusb012)       /* emulated usbfs (umockdev), libusb 0.1.12 */       \
    STACK(usbfs_compat)          /* emulated usbfs, libusb-compat-0.1 */              \
    STACK(amd64_guest_libusb012) /* QEMU amd64 guest, Debian's kernel, 0.1.12 */      \
    STACK(amd64_guest_compat)    /* the same guest, libusb-compat-0.1 */              \
    STACK(arm64_guest_arm64)     /* QEMU arm64 guest, the arm64 build */              \
    STACK(arm64_guest_armhf)     /* the same guest, the armhf build */                \
    STACK(wine_stack)            /* libusb-win32's libusb0.dll and .sys under Wine */ \
    STACK(libusb0_double)        /* the libusb0.dll test double */                    \
    STACK(libusb1_client)        /* the libusb-1.0 client on emulated usbfs */        \
    STACK(fake_libusb)           /* the unit tests' in-memory libusb */               \
    /* The guests again beside the kernel's webcam driver: a Linux desktop. */        \
    STACK(amd64_desktop_libusb012)                                                    \
    STACK(amd64_desktop_compat)                                                       \
    STACK(arm64_desktop_arm64)                                                        \
    STACK(arm64_desktop_armhf)                                                        \
    /* Debian systems in QEMU guests, the package installed: their columns. */        \
    STACK(amd64_system_trixie)                                                        \
    STACK(amd64_system_bookworm)                                                      \
    STACK(amd64_system_forky)

#define CAMERA_PROBE_STACK_ENUMERATOR(name) name,
enum class Stack { CAMERA_PROBE_REGISTRY_STACKS(CAMERA_PROBE_STACK_ENUMERATOR) };
#undef CAMERA_PROBE_STACK_ENUMERATOR
#define CAMERA_PROBE_STACK_VALUE(name) Stack::name,
inline constexpr Stack kStacks[] = {CAMERA_PROBE_REGISTRY_STACKS(CAMERA_PROBE_STACK_VALUE)};
#undef CAMERA_PROBE_STACK_VALUE

// Who runs camera-probe on a stack: users, or only the tests, whose doubles
// and clients stand in for a library or for camera-probe itself.
enum class Audience { users, tests };

// The library a column's outcome comes from: a row gives one for each, and
// each column prints it with its own numbers.
enum class Family { libusb012, compat, win32, fake };

// What kind of place a column is (scenarios.cpp): which rows name it, why it
// leaves the others out, and what its kernel does to a transfer.
struct Nature;

// What a column is, for the suites and the tables.
struct Column {
    Stack stack;
    // A short name, as the tables head the column.
    const char *name;
    // What the column is, for a reader who has not read the tests.
    const char *about;
    Audience audience;
    Family family;
    const Nature *nature;
    // The numbers its result lines show.
    const Codes *codes;
};
const Column &column(Stack stack);
const char *stack_name(Stack stack);

// A camera a row plugs: what its registers hold, and the fault and the
// descriptor lie it has, by the emulated device's names for them.
struct Camera {
    std::uint8_t register_value = 0x00;
    std::string fault = "none";
    std::string lie = "none";
};

// One read's result line: the library's result and the byte shown, or no
// byte where the read delivered none and the line shows what the probe
// byte held before. Beside the webcam driver the first read delivers what
// the driver's initialisation left in the register: a run finds that in
// the camera's transfer log, so the row does not spell it.
struct Read {
    int result = 1;
    std::optional<std::uint8_t> byte;
    bool driver_left = false;
};
Read delivers(int result, std::uint8_t byte);
Read keeps(int result);
Read delivers_what_the_driver_left();

// What one announced camera adds to the output.
struct CameraOutput {
    bool opened = true;  // false: usb_open() failed, no result lines
    Read first;
    Read second;
};
// Both reads deliver: the register, then the value written.
CameraOutput healthy(std::uint8_t register_value);
CameraOutput reads(Read first, Read second);
CameraOutput open_fails();

// What the probe does with a row on one stack.
struct Result {
    // Why the row does not run on this stack; empty where it does.
    std::string not_applicable;
    // Each camera the library lists, in walk order.
    std::vector<CameraOutput> cameras;
    // A failed scan's message instead, with its exit status.
    std::string scan_failure;
    int exit_status = 0;
    // How many of the exchange's transfers reach each camera.
    std::size_t transfers_reaching_camera = 3;
    // A library fault that a plain build passes over and a sanitized build
    // stops at, inside this library function; empty where there is none.
    std::string sanitizers_stop_in;
    // A library that crashes inside its device scan with this signal, before
    // camera-probe has printed anything; 0 where it does not. The exit
    // status is then the signal's, as a shell shows it.
    int crash_signal = 0;

    bool applies() const { return not_applicable.empty(); }
};
// The exit status as a parent that reads 8 bits sees it (-1 as 255), and
// a crash as a shell shows it (128 + the signal).
int status_seen_by_a_shell(const Result &result);
Result prints(std::vector<CameraOutput> cameras);
Result not_applicable(std::string reason);

// A device beside the cameras that must not be probed.
struct Decoy {
    std::uint16_t vendor_id;
    std::uint16_t product_id;
};

// The USB file system libusb 0.1.12 scans: as the kernel makes it, none at
// all (as in most containers), or a bus listed there whose directory cannot
// be opened. libusb-compat finds the devices in sysfs instead.
enum class UsbFilesystem { as_the_kernel_makes_it, missing, bus_directory_unreadable };

struct Scenario {
    std::string name;
    // What the row shows, in a few words for the tables; empty where the
    // name says it.
    std::string note;
    std::vector<Camera> cameras;
    // Plugged before the cameras, on the first bus where there are two:
    // devices that share only the vendor or only the product ID with the
    // camera, and one that shares neither, as emulated-camera plugs them.
    std::vector<Decoy> decoys = {
        {expected::kVendorId, 0x1234}, {0x046D, expected::kProductId}, {0x046D, 0xC31C}};
    // Transfers the cameras never answer: each costs the stack's timeout
    // where the stack waits it out.
    int unanswered = 0;
    // Run as the unprivileged user with every device node at this mode
    // (the guests); empty: as root, nodes as the kernel makes them.
    std::string node_mode;
    // The system guest's user the row runs as: "probe" (logged in at the
    // seat), "headless" (in plugdev where there is one; no session, or one
    // without a seat over ssh) or "outsider" (neither).
    std::string system_user;
    // How the in-memory libusbs (the double, the fake) play the row, in the
    // double's scenario language; empty where they do not.
    std::string script;
    // Beside the webcam driver: a video application's steps run on the
    // first camera after camera-probe, to show the driver's register cache.
    bool video_application_after = false;
    UsbFilesystem usb_filesystem = UsbFilesystem::as_the_kernel_makes_it;
    // What the row does on each stack; a stack the row does not write has
    // no cell, and on() answers for it with a cell saying kUnsetCell.
    std::map<Stack, Result> cells;

    const Result &on(Stack stack) const;
};
// A row of the lying family: a camera whose descriptors lie, or whose reads
// answer more than they ask for.
bool tells_lies(const Scenario &row);
// A row by its name, in a test's parameter.
void PrintTo(const Scenario &row, std::ostream *out);

// What a cell no row wrote says; the registry's own test finds it.
extern const char kUnsetCell[];

// Every row; each has a cell for every stack.
const std::vector<Scenario> &scenarios();
const Scenario &scenario(const std::string &name);
// The rows a stack runs, and those it does not, with their reasons.
std::vector<Scenario> runs_on(Stack stack);
std::vector<std::string> not_run_on(Stack stack);
// Prints those, one a line, as a suite starts running its column.
void print_not_run_on(Stack stack);

// What camera-probe prints for the row on `stack`, line feeds as on Linux,
// from a probe byte holding `probe_byte`, which is left as the run leaves it.
// `driver_left` holds, camera by camera, what the webcam driver left in the
// register, for the reads that deliver it.
std::string expected_output(const Result &result, std::uint8_t &probe_byte,
                            const std::vector<std::uint8_t> &driver_left = {});
std::string expected_output(const Result &result,
                            const std::vector<std::uint8_t> &driver_left = {});

}  // namespace registry

#endif
