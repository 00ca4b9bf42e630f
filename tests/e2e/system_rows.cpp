// SPDX-License-Identifier: MIT
#include "system_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>

namespace e2e {

using usb_emulator::GuestCommand;
using usb_emulator::GuestRun;
using usb_emulator::GuestVm;

namespace {

// The driver's module, and the file a user writes to keep it away.
const char kDriverModule[] = "gspca_ov519";
const char kBlacklistFile[] = "/etc/modprobe.d/camera-probe-no-gspca-ov519.conf";
// How long a user may wait for access before a row gives up, in seconds.
const char kAccessLimit[] = "30";

double seconds_since(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

std::string built_package(const std::string &dir) {
    std::vector<std::string> debs;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("camera-probe_", 0) == 0 && name.size() > 10 &&
            name.compare(name.size() - 10, 10, "_amd64.deb") == 0) {
            debs.push_back(entry.path().string());
        }
    }
    if (debs.size() != 1) {
        throw std::runtime_error("expected one camera-probe_*_amd64.deb in " + dir + ", found " +
                                 std::to_string(debs.size()) + " (make package builds it)");
    }
    return debs.front();
}

void note_driver_transfers(DriverBoundCameras &bound) {
    auto touches_register = [](std::uint8_t type, std::uint8_t request) {
        return [type, request](const usb_emulator::ControlTransfer &transfer) {
            return transfer.setup.bmRequestType == type && transfer.setup.bRequest == request &&
                   transfer.setup.wIndex == expected::kRegister;
        };
    };
    bound.driver_transfers.clear();
    for (const auto &camera : bound.plugged.cameras) {
        std::vector<usb_emulator::ControlTransfer> log = camera->transfers();
        auto driver_write =
            std::find_if(log.begin(), log.end(),
                         touches_register(expected::kWriteRequestType, expected::kWriteRequest));
        auto first_read =
            std::find_if(driver_write, log.end(),
                         touches_register(expected::kReadRequestType, expected::kReadRequest));
        bound.driver_transfers.push_back(static_cast<std::size_t>(first_read - log.begin()));
    }
}

std::string camera_node_expression() {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", kVendorId, kProductId);
    return std::string(
               "$(for d in /sys/bus/usb/devices/*; do [ \"$(cat \"$d/idVendor\" "
               "2>/dev/null):$(cat \"$d/idProduct\" 2>/dev/null)\" = ") +
           ids +
           " ] && printf '/dev/bus/usb/%03d/%03d' \"$(cat \"$d/busnum\")\" \"$(cat "
           "\"$d/devnum\")\"; done; true)";
}

SystemCommands stage_system_commands(GuestVm &vm, const SystemPieces &pieces) {
    SystemCommands commands;
    commands.package = usb_emulator::stage_system_package(vm, pieces.deb);
    commands.installed_probe = vm.add_shell_command("camera-probe");
    commands.built_probe = vm.add_command({pieces.built_probe});
    commands.blacklist_and_unload_driver =
        vm.add_shell_command(std::string("echo 'blacklist ") + kDriverModule + "' >" +
                             kBlacklistFile + " && modprobe -r " + kDriverModule);
    commands.restore_driver = vm.add_shell_command(std::string("rm -f ") + kBlacklistFile +
                                                   " && modprobe " + kDriverModule);
    std::string node = camera_node_expression();
    commands.wait_for_write_access = vm.add_shell_command(
        "t0=$(cut -d' ' -f1 /proc/uptime); until node=" + node +
        " && [ -n \"$node\" ] && [ -w \"$node\" ]; do if [ \"$(awk -v t0=\"$t0\" '{ "
        "print ($1 - "
        "t0 > " +
        kAccessLimit + ") }' /proc/uptime)\" = 1 ]; then echo \"no write access to $node after " +
        kAccessLimit +
        " s:\" >&2; ls -l \"$node\" >&2; getfacl -p \"$node\" >&2; udevadm info -q property "
        "\"$node\" | grep TAGS >&2; exit "
        "1; fi; sleep 0.05; done; awk -v t0=\"$t0\" '{ printf \"%.2f %s\\n\", $1 - "
        "t0, $1 }' /proc/uptime");
    commands.probe_when_the_node_appears = vm.add_shell_command(
        "until node=" + node + " && [ -n \"$node\" ] && [ -e \"$node\" ]; do sleep 0.01; done; " +
        "echo \"appeared $(cut -d' ' -f1 /proc/uptime) $(stat -c '%a %G' \"$node\")\" "
        ">/tmp/window; "
        "camera-probe; status=$?; echo \"exited $(cut -d' ' -f1 /proc/uptime) $(stat -c '%a %G' "
        "\"$node\")\" >>/tmp/window; exit $status");
    commands.window_note = vm.add_shell_command("cat /tmp/window");
    commands.logged_in_users = vm.add_shell_command("loginctl list-sessions --no-legend");
    commands.driver_module_loaded =
        vm.add_shell_command(std::string("test -d /sys/module/") + kDriverModule);
    commands.state_now = vm.add_shell_command(
        std::string("dpkg-query -W -f='${Status}' camera-probe 2>/dev/null; test -e ") +
        kBlacklistFile + " && printf ' blacklisted'; true");
    // A change of the keyboard decoy, which nothing else sends, takes udev
    // 2 s by a rule of the test's own.
    const char slow_rule[] = "/run/udev/rules.d/99-camera-probe-test-slow.rules";
    commands.announce_usb =
        vm.add_shell_command(std::string("test -e ") + slow_rule +
                             " || { mkdir -p /run/udev/rules.d && echo "
                             "'ACTION==\"change\", SUBSYSTEM==\"usb\", ATTR{idVendor}==\"046d\", "
                             "ATTR{idProduct}==\"c31c\", RUN+=\"/bin/sleep 2\"' >" +
                             slow_rule +
                             " && udevadm control --reload; } && udevadm trigger --action=change "
                             "--attr-match=idVendor=046d --attr-match=idProduct=c31c");
    commands.udev_idle = vm.add_shell_command("udevadm settle --timeout=0");
    commands.ssh_session_note = vm.add_shell_command("cat /tmp/ssh-session");
    commands.ssh_session_closed = vm.add_shell_command(
        "for i in $(seq 100); do loginctl list-sessions --no-legend | grep -q headless || exit "
        "0; sleep 0.2; done; loginctl list-sessions --no-legend >&2; exit 1");
    return commands;
}

SystemState state_of(GuestVm &vm, const SystemCommands &commands) {
    std::string state = run_or_throw(vm, commands.state_now, "reading the guest's state");
    return SystemState{state.rfind("install ok installed", 0) == 0,
                       state.find(" blacklisted") != std::string::npos};
}

void settle_udev(GuestVm &vm, const SystemCommands &commands) {
    run_or_throw(vm, commands.announce_usb, "udevadm trigger");
    vm.settle();
    EXPECT_EQ(vm.run(commands.udev_idle).exit_status, 0)
        << "the guest answered settle with udev events still queued";
}

std::string run_or_throw(GuestVm &vm, const GuestCommand &command, const std::string &what,
                         const std::string &user) {
    usb_emulator::GuestRunOptions options;
    options.user = user;
    GuestRun run = vm.run(command, options);
    if (run.exit_status != 0) {
        throw std::runtime_error(what + " failed with exit status " +
                                 std::to_string(run.exit_status) + ": " + run.errors);
    }
    return run.output;
}

void ensure_installed(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                      bool installed) {
    if (state.installed == installed) {
        return;
    }
    run_or_throw(vm, installed ? commands.package.install : commands.package.purge,
                 installed ? "apt-get install" : "apt-get purge");
    state.installed = installed;
}

void ensure_driver_allowed(GuestVm &vm, const SystemCommands &commands, SystemState &state) {
    if (state.driver_blacklisted) {
        run_or_throw(vm, commands.restore_driver, "restoring the driver");
        state.driver_blacklisted = false;
    }
}

namespace {

DriverBoundCameras plug_without_driver(GuestVm &vm, const registry::Scenario &row) {
    DriverBoundCameras bound;
    bound.plugged = plug_row(vm, row);
    return bound;
}

// Seconds since `since` when `user` may write the camera's node; the
// guest's uptime then in `uptime`.
double wait_for_access(GuestVm &vm, const SystemCommands &commands, const std::string &user,
                       std::chrono::steady_clock::time_point since, double *uptime = nullptr) {
    std::istringstream waited(
        run_or_throw(vm, commands.wait_for_write_access, user + "'s write access", user));
    double elapsed = 0;
    double at = 0;
    waited >> elapsed >> at;
    if (uptime != nullptr) {
        *uptime = at;
    }
    return seconds_since(since);
}

GuestRun run_probe(GuestVm &vm, const GuestCommand &probe, const std::string &user) {
    usb_emulator::GuestRunOptions options;
    options.user = user;
    return vm.run(probe, options);
}

using RowSteps = std::function<void(GuestVm &, const SystemCommands &, SystemState &,
                                    const registry::Scenario &, SystemRowRun &)>;

// A user whose access the rule gives: plugged, then the user's access and
// udev waited for.
void plug_and_wait_for_access(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                              const registry::Scenario &row, SystemRowRun &done) {
    ensure_installed(vm, commands, state, true);
    ensure_driver_allowed(vm, commands, state);
    auto plugged = std::chrono::steady_clock::now();
    done.bound = plug_beside_driver(vm, row);
    done.access_seconds = wait_for_access(vm, commands, row.system_user, plugged);
    settle_udev(vm, commands);
}

void plug_then_run(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                   const registry::Scenario &row, SystemRowRun &done) {
    plug_and_wait_for_access(vm, commands, state, row, done);
    done.run = run_probe(vm, commands.installed_probe, row.system_user);
}

// Over ssh from the host: logind's session without a seat, camera-probe
// run in it; the row waits until the session has closed again.
void log_in_over_ssh_then_run(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                              const registry::Scenario &row, SystemRowRun &done) {
    plug_and_wait_for_access(vm, commands, state, row, done);
    auto login = std::chrono::steady_clock::now();
    done.run = vm.run_over_ssh(row.system_user,
                               "loginctl show-session --all \"$XDG_SESSION_ID\" -p Remote -p Seat "
                               "-p Name >/tmp/ssh-session; "
                               "camera-probe");
    done.note = "the ssh login and run took " + std::to_string(seconds_since(login)) + " s";
    std::string session = run_or_throw(vm, commands.ssh_session_note, "reading the ssh session");
    for (const char *property : {"Remote=yes\n", "Seat=\n", "Name=headless\n"}) {
        EXPECT_NE(("\n" + session).find(std::string("\n") + property), std::string::npos)
            << "logind's ssh session: " << session;
    }
    run_or_throw(vm, commands.ssh_session_closed, "waiting for the ssh session to close");
}

// A user the rule leaves at read only: udev waited for, then the run.
void plug_settle_then_run(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                          const registry::Scenario &row, SystemRowRun &done) {
    ensure_installed(vm, commands, state, true);
    ensure_driver_allowed(vm, commands, state);
    done.bound = plug_beside_driver(vm, row);
    settle_udev(vm, commands);
    done.run = run_probe(vm, commands.installed_probe, row.system_user);
}

void install_with_the_camera_plugged(GuestVm &vm, const SystemCommands &commands,
                                     SystemState &state, const registry::Scenario &row,
                                     SystemRowRun &done) {
    ensure_installed(vm, commands, state, false);
    ensure_driver_allowed(vm, commands, state);
    done.bound = plug_beside_driver(vm, row);
    settle_udev(vm, commands);
    auto installing = std::chrono::steady_clock::now();
    ensure_installed(vm, commands, state, true);
    double install_seconds = seconds_since(installing);
    done.access_seconds = wait_for_access(vm, commands, row.system_user, installing);
    done.note = "apt-get install took " + std::to_string(install_seconds) + " s";
    done.run = run_probe(vm, commands.installed_probe, row.system_user);
}

// camera-probe started the moment the node appears; then, once udev is
// done, the same user again, who now reads the camera.
void run_at_once_after_a_replug(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                                const registry::Scenario &row, SystemRowRun &done) {
    ensure_installed(vm, commands, state, true);
    ensure_driver_allowed(vm, commands, state);
    done.bound.plugged = devices_of(row);
    auto plugged = std::chrono::steady_clock::now();
    vm.plug_without_waiting(done.bound.plugged.on_the_bus());
    done.run = run_probe(vm, commands.probe_when_the_node_appears, row.system_user);
    vm.wait_for_driver(done.bound.plugged.cameras.size());
    double access_uptime = 0;
    done.access_seconds = wait_for_access(vm, commands, row.system_user, plugged, &access_uptime);
    settle_udev(vm, commands);
    std::istringstream window(run_or_throw(vm, commands.window_note, "reading the window's note"));
    std::string word;
    double appeared = 0;
    double exited = 0;
    std::string mode_then;
    std::string group_then;
    std::string mode_after;
    std::string group_after;
    window >> word >> appeared >> mode_then >> group_then >> word >> exited >> mode_after >>
        group_after;
    char text[256];
    std::snprintf(text, sizeof text,
                  "the node appeared at mode %s, group %s; camera-probe, started then, exited "
                  "%.1f s later, the node at mode %s, group %s; write access came %.1f s "
                  "after the node",
                  mode_then.c_str(), group_then.c_str(), exited - appeared, mode_after.c_str(),
                  group_after.c_str(), access_uptime - appeared);
    done.note = text;
}

void blacklist_unload_then_replug(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                                  const registry::Scenario &row, SystemRowRun &done) {
    ensure_installed(vm, commands, state, true);
    ensure_driver_allowed(vm, commands, state);
    run_or_throw(vm, commands.blacklist_and_unload_driver, "blacklisting and unloading the driver");
    state.driver_blacklisted = true;
    done.driver_expected = false;
    auto plugged = std::chrono::steady_clock::now();
    done.bound = plug_without_driver(vm, row);
    done.access_seconds = wait_for_access(vm, commands, row.system_user, plugged);
    settle_udev(vm, commands);
    vm.wait_for_driver(0);
    done.run = run_probe(vm, commands.installed_probe, row.system_user);
    if (vm.run(commands.driver_module_loaded).exit_status == 0) {
        ADD_FAILURE() << "the driver's module is loaded again after the replug";
    }
}

void purge_then_replug(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                       const registry::Scenario &row, SystemRowRun &done) {
    ensure_installed(vm, commands, state, true);
    ensure_installed(vm, commands, state, false);
    ensure_driver_allowed(vm, commands, state);
    done.bound = plug_beside_driver(vm, row);
    settle_udev(vm, commands);
    done.run = run_probe(vm, commands.built_probe, row.system_user);
}

const std::map<std::string, RowSteps> &row_steps() {
    static const std::map<std::string, RowSteps> steps = {
        {"InstalledWithTheCameraPlugged", install_with_the_camera_plugged},
        {"SeatUserBesideTheDriverUdevLoaded", plug_then_run},
        {"PlugdevMemberWithoutASession", plug_then_run},
        {"PlugdevMemberOverSsh", log_in_over_ssh_then_run},
        {"UserInNoGroupWithoutASession", plug_settle_then_run},
        {"RunAtOnceAfterAReplugBesideTheDriver", run_at_once_after_a_replug},
        {"DriverBlacklistedAndUnloadedThenReplugged", blacklist_unload_then_replug},
        {"RulePurgedThenReplugged", purge_then_replug},
    };
    return steps;
}

}  // namespace

SystemRowRun run_system_row(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                            const registry::Scenario &row) {
    auto steps = row_steps().find(row.name);
    if (steps == row_steps().end()) {
        throw std::logic_error("the system suite does not know what row " + row.name + " does");
    }
    SystemRowRun done;
    steps->second(vm, commands, state, row, done);
    if (done.driver_expected) {
        vm.wait_for_driver(row.cameras.size());
        note_driver_transfers(done.bound);
    }
    done.logged_in_users = run_or_throw(vm, commands.logged_in_users, "loginctl list-users");
    return done;
}

void check_system_row(const SystemRowRun &done, const registry::Scenario &row,
                      registry::Stack stack) {
    const registry::Result &cell = row.on(stack);
    if (done.driver_expected) {
        expect_desktop_cell(DesktopRowRun{done.bound, TimedRun{done.run, 0}}, row, cell);
    } else {
        expect_transfers(done.bound.plugged, cell.transfers_reaching_camera);
        EXPECT_EQ(done.run.output, registry::expected_output(cell));
        EXPECT_EQ(done.run.exit_status, registry::status_seen_by_a_shell(cell));
        EXPECT_EQ(done.run.errors, "");
    }
    // Only the seat user holds a session: no run opened one, and an ssh
    // login's has closed.
    EXPECT_EQ(done.logged_in_users.find("headless"), std::string::npos) << done.logged_in_users;
    EXPECT_EQ(done.logged_in_users.find("outsider"), std::string::npos) << done.logged_in_users;
    EXPECT_NE(done.logged_in_users.find("probe"), std::string::npos) << done.logged_in_users;
}

}  // namespace e2e
