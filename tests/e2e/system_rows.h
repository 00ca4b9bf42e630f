// SPDX-License-Identifier: MIT
// The system guest's rows: what each one does to the Debian system before
// camera-probe runs (install or purge the package with apt, blacklist the
// driver, replug), as the user it names, and what a run there is checked
// against; and the README's commands, run as written in the same guest.
#ifndef CAMERA_PROBE_TESTS_E2E_SYSTEM_ROWS_H
#define CAMERA_PROBE_TESTS_E2E_SYSTEM_ROWS_H

#include <functional>
#include <string>

#include "driver_transfers.h"
#include "guest_scenario.h"
#include "guest_vm.h"

namespace e2e {

using usb_emulator::GuestCommand;
using usb_emulator::GuestVm;

// The command lines the rows run in the system guest, staged before boot.
struct SystemCommands {
    usb_emulator::SystemPackage package;
    GuestCommand installed_probe;
    GuestCommand built_probe;
    GuestCommand blacklist_and_unload_driver;
    GuestCommand restore_driver;
    // As a user: waits until that user may write the camera's node, and
    // prints how long that took and the guest's uptime, in seconds.
    GuestCommand wait_for_write_access;
    // As a user: waits for the camera's node to appear, notes its mode and
    // group in /tmp/window (window_note), and runs camera-probe at once.
    GuestCommand probe_when_the_node_appears;
    GuestCommand window_note;
    GuestCommand logged_in_users;
    GuestCommand driver_module_loaded;
    // Prints the package's status and " blacklisted" while the driver is.
    GuestCommand state_now;
    // Has udev announce a decoy again, which a rule makes take 2 s; exits
    // 0 only while udev has no event left to handle.
    GuestCommand announce_usb;
    GuestCommand udev_idle;
    GuestCommand ssh_session_note;    // what logind made of an ssh login
    GuestCommand ssh_session_closed;  // waits until that session has closed
};

// Stages the rows' commands into a system guest not booted yet.
SystemCommands stage_system_commands(GuestVm &vm, const std::string &deb,
                                     const std::string &built_probe);

// What the rows change in the guest, as the suite has left it.
struct SystemState {
    bool installed = false;
    bool driver_blacklisted = false;
};
// What the guest is now, as a row that failed halfway has left it.
SystemState state_of(GuestVm &vm, const SystemCommands &commands);
// Bring the guest to a state; throw where apt or modprobe fail.
void ensure_installed(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                      bool installed);
void ensure_driver_allowed(GuestVm &vm, const SystemCommands &commands, SystemState &state);

// Does what the row's name says, plugs its camera, runs camera-probe as
// the row's user, prints what it measured and checks the run against the
// row's cell of the system column `stack`. Throws where the guest does not
// answer or a step fails.
void run_system_row(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                    const registry::Scenario &row, registry::Stack stack);

// Runs `command` as `user`; run_or_throw throws, with its errors, unless
// it exits 0, and gives its standard output.
usb_emulator::GuestRun run_as(GuestVm &vm, const GuestCommand &command, const std::string &user);
std::string run_or_throw(GuestVm &vm, const GuestCommand &command, const std::string &what,
                         const std::string &user = "root");

// The .deb that make package left in `dir`; throws unless there is one.
std::string built_package(const std::string &dir);

// Notes, camera by camera, how many transfers of its log are the driver's:
// those before the first read of the register after the driver's write of
// it, camera-probe's. After the run, however the two overlapped in time.
void note_driver_transfers(DriverBoundCameras &bound);

// A shell expression that prints the camera's node, if it is there.
std::string camera_node_expression();

// The README's commands (readme_commands.cpp), staged into a system guest
// not booted yet; what it returns runs them in the booted guest.
using ReadmeRun = std::function<void(GuestVm &, const SystemCommands &, SystemState &)>;
ReadmeRun stage_readme_commands(GuestVm &vm, const std::string &source_dir,
                                const usb_emulator::SystemPackage &package);

}  // namespace e2e

#endif
