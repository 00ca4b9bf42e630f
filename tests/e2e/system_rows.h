// SPDX-License-Identifier: MIT
// The system guest's rows: what each one does to the Debian system before
// camera-probe runs (install or purge the package with apt, blacklist the
// driver, replug), as the user it names, and what a run there is checked
// against. Any suite that has booted a system guest with these commands
// staged can run a row.
#ifndef CAMERA_PROBE_TESTS_E2E_SYSTEM_ROWS_H
#define CAMERA_PROBE_TESTS_E2E_SYSTEM_ROWS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver_transfers.h"
#include "expected_output.h"
#include "guest_scenario.h"
#include "guest_vm.h"

namespace e2e {

// The package under test and the programs the rows hand in.
struct SystemPieces {
    std::string deb;          // make package's .deb
    std::string built_probe;  // a build of this checkout, for a system without the package
};

// The command lines the rows run in the system guest, staged before boot.
struct SystemCommands {
    usb_emulator::SystemPackage package;
    usb_emulator::GuestCommand installed_probe;
    usb_emulator::GuestCommand built_probe;
    usb_emulator::GuestCommand blacklist_and_unload_driver;
    usb_emulator::GuestCommand restore_driver;
    // As a user: waits until that user may write the camera's node, and
    // prints how long that took, in seconds.
    usb_emulator::GuestCommand wait_for_write_access;
    // As a user: waits for the camera's node to appear, notes its mode and
    // group in /tmp/window, and runs the installed camera-probe at once.
    usb_emulator::GuestCommand probe_when_the_node_appears;
    usb_emulator::GuestCommand window_note;
    usb_emulator::GuestCommand logged_in_users;
    usb_emulator::GuestCommand driver_module_loaded;
    // Prints the package's status and " blacklisted" while the driver is.
    usb_emulator::GuestCommand state_now;
    // Has udev announce a decoy again, which a rule makes take 2 s, and
    // exits 0 only while udev has no event left to handle.
    usb_emulator::GuestCommand announce_usb;
    usb_emulator::GuestCommand udev_idle;
    // What logind made of an ssh login's session, and a wait until that
    // session has closed.
    usb_emulator::GuestCommand ssh_session_note;
    usb_emulator::GuestCommand ssh_session_closed;
};

// A system guest, not booted yet, with `pieces` handed in and the rows'
// commands staged.
SystemCommands stage_system_commands(usb_emulator::GuestVm &vm, const SystemPieces &pieces);

// What the rows change in the guest, as the suite has left it.
struct SystemState {
    bool installed = false;
    bool driver_blacklisted = false;
};
// What the guest is now, as a row that failed halfway has left it.
SystemState state_of(usb_emulator::GuestVm &vm, const SystemCommands &commands);

// Has udev announce a decoy again, waits for udev, then checks that it has
// nothing left to do: a settle that answers before udev has handled that
// slow event fails the row.
void settle_udev(usb_emulator::GuestVm &vm, const SystemCommands &commands);

// Brings the guest to a state: the package installed or purged, the
// driver allowed or blacklisted and unloaded; throws where apt or modprobe
// fail.
void ensure_installed(usb_emulator::GuestVm &vm, const SystemCommands &commands, SystemState &state,
                      bool installed);
void ensure_driver_allowed(usb_emulator::GuestVm &vm, const SystemCommands &commands,
                           SystemState &state);

// What a system row did and printed.
struct SystemRowRun {
    // The cameras, and where the driver bound, how many of their transfers
    // were its own.
    DriverBoundCameras bound;
    usb_emulator::GuestRun run;
    bool driver_expected = true;
    // From the plug (or, with the camera plugged, the install) to the row's
    // user's write access, as the host saw it; negative where the user gets
    // none.
    double access_seconds = -1;
    // What the row measured besides, for the suite's log.
    std::string note;
    // Users who hold a logind session after the run, one a line.
    std::string logged_in_users;
};

// Does what the row's name says, plugs its camera and runs camera-probe as
// the row's user. Throws where the guest does not answer or a step fails.
SystemRowRun run_system_row(usb_emulator::GuestVm &vm, const SystemCommands &commands,
                            SystemState &state, const registry::Scenario &row);

// Checks a row's run against its cell of the system column `stack`.
void check_system_row(const SystemRowRun &done, const registry::Scenario &row,
                      registry::Stack stack);

// Runs `command` as root or as `user`; throws, with its errors, unless it
// exits 0. Its standard output.
std::string run_or_throw(usb_emulator::GuestVm &vm, const usb_emulator::GuestCommand &command,
                         const std::string &what, const std::string &user = "root");

// The .deb that make package left in `dir`; throws unless there is one.
std::string built_package(const std::string &dir);

// Notes, camera by camera, how many transfers of its log are the driver's:
// those before camera-probe's first read of the register, the first read
// after the driver's initialisation has written it. After the run, however
// the two overlapped in time.
void note_driver_transfers(DriverBoundCameras &bound);

// The camera's node, as a shell expression that prints it (empty while
// the camera is not there).
std::string camera_node_expression();

}  // namespace e2e

#endif
