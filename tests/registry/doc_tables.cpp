// SPDX-License-Identifier: MIT
#include "doc_tables.h"

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <stdexcept>

#include "probe_expectations.h"
#include "scenarios.h"

namespace registry {

namespace {

const char kHead[] =
    "# What camera-probe prints, on each platform\n"
    "\n"
    "<!-- Generated from the tests' scenario registry (tests/registry/scenarios.cpp)\n"
    "     by `make doc-tables`; the unit tests fail\n"
    "     while this file and the registry disagree. Edit the registry, not\n"
    "     this file. -->\n"
    "\n"
    "Every row below is a scenario the tests run on that platform, and every\n"
    "cell is what they check, byte for byte. Each camera the probe announces\n"
    "prints two result lines, `usb_control_msg() returned <result> -> 0x<byte>`:\n"
    "the cells give `<result> -> 0x<byte>` for the first read, then for the read\n"
    "back after the write of 0x15. A result of 1 is the one byte read; 0 a read\n"
    "that delivered none; a negative result is the library's error: on Linux\n"
    "-32 a stall (EPIPE), -110 no answer within the 5 s timeout (ETIMEDOUT),\n"
    "-19 a camera gone (ENODEV), -108 a transfer the unplug cut short\n"
    "(ESHUTDOWN), -6 a camera gone for libusb-compat-0.1 (ENXIO), -1 a device\n"
    "node opened read-only (EPERM), -75 a read answered with more than it asked\n"
    "for (EOVERFLOW); with libusb-win32 -5 (EIO) for any failed request. A read\n"
    "that fails shows the byte the probe held before: 0x20 until a read delivers\n"
    "one. The users' platforms come first; the tests' own stand-ins for a\n"
    "library or for camera-probe, at the end, are not what a user runs.\n"
    "\n"
    "The faults and lies are those of `emulated-camera --fault NAME` and\n"
    "`--lie NAME` (docs/testing.md), which plug the same cameras; each platform's\n"
    "page says how its tests run: [libusb.md](libusb.md), [arm.md](arm.md),\n"
    "[windows.md](windows.md), [testing.md](testing.md).\n";

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value & 0xFFu);
    return text;
}

std::string camera_text(const Camera &camera) {
    return "register " + hex(camera.register_value) +
           (camera.fault != "none" ? ", `" + camera.fault + "`" : "") +
           (camera.lie != "none" ? ", lie `" + camera.lie + "`" : "");
}

std::string plugged_text(const Scenario &row) {
    std::string text;
    for (const Camera &camera : row.cameras) {
        text += (text.empty() ? "" : "; ") + camera_text(camera);
    }
    if (text.empty()) {
        text = "no camera";
    }
    if (!row.node_mode.empty()) {
        text += "; run as a user, node " + row.node_mode;
    }
    if (!row.system_user.empty()) {
        text += "; run as " + row.system_user;
    }
    if (row.usb_filesystem == UsbFilesystem::missing) {
        text += "; no USB file system";
    } else if (row.usb_filesystem == UsbFilesystem::bus_directory_unreadable) {
        text += "; a bus directory that cannot be opened";
    }
    return text;
}

// What the driver left differs from camera to camera; the run reads it
// from the camera's transfer log, and the table names it.
std::string read_text(const Read &read, std::uint8_t &probe_byte) {
    if (read.driver_left) {
        return "`" + std::to_string(read.result) + " -> ` what the driver left";
    }
    probe_byte = read.byte ? *read.byte : probe_byte;
    return "`" + std::to_string(read.result) + " -> " + hex(probe_byte) + "`";
}

std::string printed_text(const Result &cell) {
    if (cell.crash_signal != 0) {
        return "nothing: the library crashes in its scan (signal " +
               std::to_string(cell.crash_signal) + ")";
    }
    if (!cell.scan_failure.empty()) {
        return "`" + cell.scan_failure + "` only";
    }
    if (cell.cameras.empty()) {
        return "nothing";
    }
    std::uint8_t probe_byte = expected::kProbeBytePreset;
    std::string text;
    for (const CameraOutput &camera : cell.cameras) {
        text += text.empty() ? "" : "; ";
        if (!camera.opened) {
            text += "`usb_open() failed`";
            continue;
        }
        text += read_text(camera.first, probe_byte) + ", ";
        text += read_text(camera.second, probe_byte);
    }
    return text;
}

// A negative status with the one a shell sees.
std::string status_text(int status) {
    return std::to_string(status) +
           (status < 0 ? " (" + std::to_string(status & 0xFF) + ")" : std::string());
}

std::string row_line(const Scenario &row, Stack stack) {
    const Result &cell = row.on(stack);
    // The in-memory libusbs play scripts.
    bool in_memory = stack == Stack::fake_libusb || stack == Stack::libusb0_double;
    std::string plugged = in_memory ? "script `" + row.script + "`" : plugged_text(row);
    return "| " + row.name + " | " + plugged + " | " + printed_text(cell) + " | " +
           status_text(cell.exit_status) + " |\n";
}

std::string section(const std::string &level, const std::string &title, const std::string &about,
                    Stack stack) {
    std::string text = "\n" + level + " " + title + "\n\n" + about + "\n\n";
    text += "| scenario | cameras | prints | exit status |\n|---|---|---|---|\n";
    for (const Scenario &row : runs_on(stack)) {
        text += row_line(row, stack);
    }
    return text;
}

const char kTestOnlyHead[] =
    "\n## The tests' own stand-ins\n"
    "\n"
    "These columns are no platform a user runs: they stand in for a library or\n"
    "for camera-probe itself, so that the tests can make happen what no device\n"
    "does, or see the requests libusb-compat sends.\n";

// One library's cell of a row in a two-library table: what it prints, and
// the exit status where it is not 0.
std::string outcome_text(const Result &cell) {
    if (!cell.applies()) {
        return "-";
    }
    std::string text = printed_text(cell);
    if (cell.exit_status != 0) {
        text += ", exit status " + std::to_string(status_seen_by_a_shell(cell));
    }
    if (!cell.sanitizers_stop_in.empty()) {
        text += " (the sanitizers stop it in `" + cell.sanitizers_stop_in + "`)";
    }
    return text;
}

// The same setting with each Linux libusb 0.1: emulated usbfs, the amd64
// guest on Debian's kernel, and that guest with the webcam driver bound.
struct LibraryPair {
    const char *where;
    Stack original;
    Stack compat;
};
const LibraryPair kLibraryPairs[] = {
    {"testbed", Stack::usbfs_libusb012, Stack::usbfs_compat},
    {"guest", Stack::amd64_guest_libusb012, Stack::amd64_guest_compat},
    {"desktop guest", Stack::amd64_desktop_libusb012, Stack::amd64_desktop_compat},
};

// Every row and setting where libusb 0.1.12 and libusb-compat print
// differently, but for the lying cameras, which have a table of their own.
std::string libusb_differences_table() {
    std::string text =
        "| scenario | what it is | where | libusb 0.1.12 | libusb-compat-0.1 |\n"
        "|---|---|---|---|---|\n";
    for (const Scenario &row : scenarios()) {
        if (tells_lies(row)) {
            continue;  // the lying-devices table's
        }
        for (const LibraryPair &pair : kLibraryPairs) {
            const Result &original = row.on(pair.original);
            const Result &compat = row.on(pair.compat);
            if (!original.applies() || !compat.applies() ||
                outcome_text(original) == outcome_text(compat)) {
                continue;
            }
            std::string what_it_is = row.note.empty() ? plugged_text(row) : row.note;
            text += "| " + row.name + " | " + what_it_is + " | " + pair.where + " | " +
                    outcome_text(original) + " | " + outcome_text(compat) + " |\n";
        }
    }
    return text;
}

// The lying family on both Linux libraries, on the testbed and in the guest.
std::string lying_devices_table() {
    std::string text =
        "| scenario | the camera, and what Debian's kernel does with it | "
        "libusb 0.1.12, testbed | libusb-compat, testbed | libusb 0.1.12, guest | "
        "libusb-compat, guest |\n|---|---|---|---|---|---|\n";
    for (const Scenario &row : scenarios()) {
        if (!tells_lies(row)) {
            continue;
        }
        text += "| " + row.name + " | " + plugged_text(row) + ": " + row.note + " |";
        for (Stack stack : {Stack::usbfs_libusb012, Stack::usbfs_compat,
                            Stack::amd64_guest_libusb012, Stack::amd64_guest_compat}) {
            text += " " + outcome_text(row.on(stack)) + " |";
        }
        text += "\n";
    }
    return text;
}

// What a user meets, on the stacks closest to a user's machine: the real
// kernel where the row runs there, else the emulated usbfs, else the
// in-memory libusb that alone can script it.
struct Situation {
    const char *row;
    const char *what;
};
const Situation kSituations[] = {
    {"OneCameraAmongDecoys", "one camera"},
    {"TwoCameras", "two cameras: a second announcement continues the first camera's last line"},
    {"NoCamera", "no camera connected"},
    {"UserWithReadOnlyNode", "a user who may read the camera's node but not write it"},
    {"UserWithoutAccessToTheNode", "a user who may not read the camera's node"},
    {"CameraThatCannotBeOpened", "a camera that cannot be opened: the walk goes on"},
    {"NoUsbFilesystem", "no USB file system (no `/dev/bus/usb`, as in most containers)"},
    {"UnreadableBusDirectory", "a bus that cannot be scanned"},
    {"OneCameraBesideTheDriver", "on a Linux desktop, the kernel's webcam driver bound"},
};

const Result &closest_to_a_user(const Scenario &row, std::initializer_list<Stack> stacks) {
    for (Stack stack : stacks) {
        if (row.on(stack).applies()) {
            return row.on(stack);
        }
    }
    return row.on(Stack::fake_libusb);
}

std::string situations_table() {
    std::string text =
        "| situation | libusb 0.1.12 (Debian, Ubuntu) | libusb-compat-0.1 (Fedora, Arch, "
        "openSUSE) |\n|---|---|---|\n";
    for (const Situation &situation : kSituations) {
        const Scenario row = scenario(situation.row);
        const Result &original = closest_to_a_user(
            row,
            {Stack::amd64_desktop_libusb012, Stack::amd64_guest_libusb012, Stack::usbfs_libusb012});
        const Result &compat = closest_to_a_user(
            row, {Stack::amd64_desktop_compat, Stack::amd64_guest_compat, Stack::usbfs_compat});
        text += std::string("| ") + situation.what + " | " + outcome_text(original) + " | " +
                outcome_text(compat) + " |\n";
    }
    return text;
}

const char kTableStart[] = "<!-- registry table: ";
const char kTableStartEnd[] = " -->\n";
const char kTableEnd[] = "<!-- end of registry table -->";

std::string results_table() {
    std::string text = kHead;
    for (Audience audience : {Audience::users, Audience::tests}) {
        text += audience == Audience::tests ? kTestOnlyHead : "";
        for (Stack stack : kStacks) {
            if (column(stack).audience == audience) {
                text += section(audience == Audience::users ? "##" : "###", stack_name(stack),
                                column(stack).about, stack);
            }
        }
    }
    return text;
}

std::string registry_table(const std::string &name) {
    static const std::map<std::string, std::string (*)()> tables = {
        {"situations", situations_table},
        {"libusb-differences", libusb_differences_table},
        {"lying-devices", lying_devices_table},
    };
    auto table = tables.find(name);
    if (table == tables.end()) {
        throw std::invalid_argument("no registry table named " + name);
    }
    return table->second();
}

std::string with_tables_made_anew(const std::string &document) {
    std::string text;
    std::size_t at = 0;
    for (std::size_t start; (start = document.find(kTableStart, at)) != std::string::npos;) {
        std::size_t name_start = start + sizeof kTableStart - 1;
        std::size_t name_end = document.find(kTableStartEnd, name_start);
        std::size_t end = document.find(kTableEnd, name_start);
        if (name_end == std::string::npos || end == std::string::npos || end < name_end) {
            throw std::invalid_argument("a registry table's marker without its end, at byte " +
                                        std::to_string(start));
        }
        std::size_t body = name_end + sizeof kTableStartEnd - 1;
        text += document.substr(at, body - at);
        text += registry_table(document.substr(name_start, name_end - name_start));
        at = end;
    }
    return text + document.substr(at);
}

}  // namespace

std::string made_anew(const GeneratedDocument &document, const std::string &text) {
    return document.tables.empty() ? results_table() : with_tables_made_anew(text);
}

const std::vector<GeneratedDocument> &generated_documents() {
    static const std::vector<GeneratedDocument> documents = {
        {"docs/results.md", {}},
        {"README.md", {"situations"}},
        {"docs/libusb.md", {"libusb-differences"}},
        {"docs/lying-devices.md", {"lying-devices"}},
    };
    return documents;
}

std::string read_text_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace registry
