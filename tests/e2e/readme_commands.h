// SPDX-License-Identifier: MIT
// The README's commands run as written: the fenced shell blocks of its
// sections on installing the package, on permissions and on the kernel's
// webcam driver, read from README.md itself, run in the system guest in
// the README's order as the seat user (sudo where a line says sudo), each
// block followed by a check of what its section promises.
#ifndef CAMERA_PROBE_TESTS_E2E_README_COMMANDS_H
#define CAMERA_PROBE_TESTS_E2E_README_COMMANDS_H

#include <cstddef>
#include <string>
#include <vector>

#include "guest_vm.h"
#include "system_rows.h"

namespace e2e {

// One fenced block: its lines, as a user would type them.
struct ReadmeBlock {
    std::string section;
    std::vector<std::string> lines;
};

// The fenced blocks written directly under the heading whose title starts
// with `title` (up to the next heading of any level), in order; throws if
// no heading has that title.
std::vector<ReadmeBlock> readme_blocks(const std::string &markdown, const std::string &title);

// A line of a block, as the test runs it.
struct ReadmeLine {
    std::string text;
    // A build step on the build machine (make ...): checked there with
    // make -n, and its result handed to the guest; not run in the guest.
    bool on_the_build_machine = false;
    usb_emulator::GuestCommand command;
};

struct ReadmeSection {
    std::string title;
    std::vector<std::vector<ReadmeLine>> blocks;
};

// What the README test runs, staged into a system guest not booted yet.
struct ReadmeCommands {
    std::string source_dir;
    std::vector<ReadmeSection> sections;
    usb_emulator::GuestCommand lay_out_the_checkout;
    usb_emulator::GuestCommand package_status;
    usb_emulator::GuestCommand note_package_files;
    usb_emulator::GuestCommand package_files_left;
    usb_emulator::GuestCommand wait_for_the_kernel;
    usb_emulator::GuestCommand unpack_without_configuring;
    usb_emulator::GuestCommand configure;
    usb_emulator::GuestCommand seat_users_groups;
    usb_emulator::GuestCommand leave_plugdev;
};

// Reads the README of `source_dir` and stages its blocks' lines and the
// checks' commands; the .deb the package's steps handed in goes where the
// checkout's build folder has it.
ReadmeCommands stage_readme_commands(usb_emulator::GuestVm &vm, const std::string &source_dir,
                                     const usb_emulator::SystemPackage &package);

// Runs the sections' blocks in order with their checks (gtest
// expectations). A section whose step fails fails alone and the next one
// runs; throws where the guest is lost. Leaves `state` as it leaves the
// guest.
void run_readme_commands(usb_emulator::GuestVm &vm, const ReadmeCommands &readme,
                         const SystemCommands &commands, SystemState &state);

}  // namespace e2e

#endif
