// SPDX-License-Identifier: MIT
#include "results_table.h"

#include <cstdio>

#include "probe_expectations.h"
#include "scenarios.h"

namespace registry {

namespace {

const char kHead[] =
    "# What camera-probe prints, on each platform\n"
    "\n"
    "<!-- Generated from the tests' scenario registry (tests/registry/scenarios.cpp)\n"
    "     by `cmake --build build --target results-table`; the unit tests fail\n"
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
    "node opened read-only (EPERM); with libusb-win32 -5 (EIO) for any failed\n"
    "request; the libusb-1.0 client prints libusb-1.0's own codes. A read that\n"
    "fails shows the byte the probe held before: 0x20 until a read delivers one.\n"
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
    std::string text = "register " + hex(camera.register_value);
    if (camera.fault != "none") {
        text += ", `" + camera.fault + "`";
    }
    if (camera.lie != "none") {
        text += ", lie `" + camera.lie + "`";
    }
    return text;
}

std::string plugged_text(const Scenario &row) {
    if (!row.system_user.empty()) {
        return camera_text(row.cameras.at(0)) + "; run as " + row.system_user;
    }
    if (!row.node_mode.empty()) {
        return camera_text(row.cameras.at(0)) + "; run as a user, node " + row.node_mode;
    }
    if (row.cameras.empty()) {
        return "no camera";
    }
    std::string text;
    for (const Camera &camera : row.cameras) {
        text += (text.empty() ? "" : "; ") + camera_text(camera);
    }
    return text;
}

// What the driver left differs from camera to camera; the run reads it
// from the camera's transfer log, and the table names it.
std::string read_text(const Read &read, std::uint8_t &probe_byte) {
    if (read.driver_left) {
        return "`" + std::to_string(read.result) + " -> ` what the driver left";
    }
    if (read.byte) {
        probe_byte = *read.byte;
    }
    return "`" + std::to_string(read.result) + " -> " + hex(probe_byte) + "`";
}

std::string printed_text(const Result &cell) {
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

// What a platform's column is, for a reader who has not read the tests.
const char *about(Stack stack) {
    switch (stack) {
        case Stack::usbfs_libusb012:
            return "Linux's usbfs, emulated on the host (umockdev), with libusb 0.1.12 "
                   "(Debian, Ubuntu). The emulation answers at once where a kernel waits: see "
                   "the guest's columns for the real kernel.";
        case Stack::usbfs_compat:
            return "The same, with libusb-compat-0.1 over libusb-1.0 (Fedora, Arch, "
                   "openSUSE, macOS): [libusb.md](libusb.md).";
        case Stack::amd64_guest_libusb012:
            return "Debian's own amd64 kernel in a QEMU guest, the cameras on its xHCI bus: "
                   "what a Linux PC answers, with libusb 0.1.12.";
        case Stack::amd64_guest_compat:
            return "The same kernel with libusb-compat-0.1.";
        case Stack::arm64_guest_arm64:
            return "Debian's arm64 kernel in a QEMU guest, the arm64 package's build: "
                   "[arm.md](arm.md).";
        case Stack::arm64_guest_armhf:
            return "The same kernel, the armhf package's build (32-bit user space).";
        case Stack::wine_stack:
            return "Windows: libusb-win32's own libusb0.dll and libusb0.sys, under Wine: "
                   "[windows.md](windows.md). Each line ends in CR LF there.";
        case Stack::libusb0_double:
            return "camera-probe.exe against the tests' libusb0.dll double, which plays a "
                   "script: what only a script can make happen.";
        case Stack::libusb1_client:
            return "The tests' libusb-1.0 client, which runs the same exchange: the URBs "
                   "libusb-compat-0.1 sends.";
        case Stack::fake_libusb:
            return "The tool's code against the unit tests' in-memory libusb, playing the "
                   "double's scripts.";
        case Stack::amd64_desktop_libusb012:
            return "A Linux desktop: the amd64 guest with the kernel's webcam driver for this "
                   "camera (gspca_ov519) bound to it. The first read shows what the driver's "
                   "initialisation left in register 0x13: 0x27 for a camera that powers up "
                   "with 0x00, 0xbf for one with 0x9a. Why, what the driver may later write "
                   "over the 0x15, and how to read without it: the README's section on the "
                   "driver.";
        case Stack::amd64_desktop_compat:
            return "The same desktop with libusb-compat-0.1.";
        case Stack::arm64_desktop_arm64:
            return "The arm64 guest with the same driver (a Raspberry Pi desktop has it), "
                   "the arm64 package's build.";
        case Stack::arm64_desktop_armhf:
            return "The same, the armhf package's build.";
        case Stack::amd64_system_libusb012:
            return "A Debian 12 system as a user has it, in a QEMU guest on the same kernel: "
                   "systemd, udev and logind, the package of `make package` installed with apt, "
                   "Debian's libusb 0.1.12. udev loads the webcam driver when the camera is "
                   "plugged in (so the first read shows what it left, as on the desktop), and "
                   "the rule gives access: `probe` is logged in at the seat (logind's ACL), "
                   "`headless` is in the group plugdev and has no session, as over ssh, and "
                   "`outsider` is neither. The row's name says what was done before the run; "
                   "who may use the camera, and how to read it without the driver: the README.";
    }
    return "";
}

std::string status_text(int status) {
    if (status < 0) {
        return std::to_string(status) + " (" + std::to_string(status & 0xFF) + ")";
    }
    return std::to_string(status);
}

std::string section(Stack stack) {
    std::string text = std::string("\n## ") + stack_name(stack) + "\n\n" + about(stack) + "\n\n";
    text += "| scenario | cameras | prints | exit status |\n|---|---|---|---|\n";
    for (const Scenario &row : runs_on(stack)) {
        const Result &cell = row.on(stack);
        bool scripted = stack == Stack::fake_libusb || stack == Stack::libusb0_double;
        std::string plugged = scripted ? "script `" + row.script + "`" : plugged_text(row);
        text += "| " + row.name + " | " + plugged + " | " + printed_text(cell) + " | " +
                status_text(cell.exit_status) + " |\n";
    }
    return text;
}

}  // namespace

std::string results_table() {
    std::string text = kHead;
    for (Stack stack : kStacks) {
        text += section(stack);
    }
    return text;
}

}  // namespace registry
