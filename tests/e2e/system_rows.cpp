// SPDX-License-Identifier: MIT
#include "system_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "expected_output.h"

namespace e2e {

using usb_emulator::GuestRun;

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
        if (std::regex_match(name, std::regex("camera-probe_.*_amd64\\.deb"))) {
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

SystemCommands stage_system_commands(GuestVm &vm, const std::string &deb,
                                     const std::string &built_probe) {
    SystemCommands commands;
    commands.package = usb_emulator::stage_system_package(vm, deb);
    commands.installed_probe = vm.add_shell_command("camera-probe");
    commands.built_probe = vm.add_command({built_probe});
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

GuestRun run_as(GuestVm &vm, const GuestCommand &command, const std::string &user) {
    usb_emulator::GuestRunOptions options;
    options.user = user;
    return vm.run(command, options);
}

std::string run_or_throw(GuestVm &vm, const GuestCommand &command, const std::string &what,
                         const std::string &user) {
    GuestRun run = run_as(vm, command, user);
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

// What a row does, in the order its table gives (take_step says how).
enum class Step {
    install,  // unless installed; the row's user's access timed from it
    purge,
    blacklist,  // and unload the driver, which the row expects to stay away
    plug,
    wait_for_access,  // until the row's user may write the node
    settle,
    run,        // the installed camera-probe, as the row's user
    run_built,  // this checkout's camera-probe, for a system without the package
    run_over_ssh,
    run_as_the_node_appears,  // plugged without waiting, started at once
    note_the_window,          // what the node was during that run
};

struct RowSteps {
    const char *row;
    std::vector<Step> steps;
};
// Each row's steps, the driver allowed before them.
const RowSteps kRowSteps[] = {
    {"InstalledWithTheCameraPlugged",
     {Step::purge, Step::plug, Step::settle, Step::install, Step::wait_for_access, Step::run}},
    {"SeatUserBesideTheDriverUdevLoaded",
     {Step::install, Step::plug, Step::wait_for_access, Step::settle, Step::run}},
    {"PlugdevMemberWithoutASession",
     {Step::install, Step::plug, Step::wait_for_access, Step::settle, Step::run}},
    {"PlugdevMemberOverSsh",
     {Step::install, Step::plug, Step::wait_for_access, Step::settle, Step::run_over_ssh}},
    // A user the rule leaves at read only: no access to wait for.
    {"UserInNoGroupWithoutASession", {Step::install, Step::plug, Step::settle, Step::run}},
    {"RunAtOnceAfterAReplugBesideTheDriver",
     {Step::install, Step::run_as_the_node_appears, Step::wait_for_access, Step::settle,
      Step::note_the_window}},
    {"DriverBlacklistedAndUnloadedThenReplugged",
     {Step::install, Step::blacklist, Step::plug, Step::wait_for_access, Step::settle, Step::run}},
    {"RulePurgedThenReplugged",
     {Step::install, Step::purge, Step::plug, Step::settle, Step::run_built}},
};

// What a row did and printed, as its steps go.
struct RowRun {
    DriverBoundCameras bound;
    GuestRun run;
    bool driver_expected = true;
    // What the row's user's access is timed from: the plug, or the install
    // with the camera plugged.
    std::chrono::steady_clock::time_point since;
    const char *since_what = "plug";
    double access_seconds = -1;  // negative where the user gets none
    double access_uptime = 0;    // the guest's, at the access
    std::string note;            // what the row measured besides, for the log
};

void add_note(RowRun &done, const std::string &note) {
    done.note += (done.note.empty() ? "" : "; ") + note;
}

void start_the_clock(RowRun &done, const char *what) {
    done.since = std::chrono::steady_clock::now();
    done.since_what = what;
}

// Over ssh from the host: logind's session without a seat, camera-probe run
// in it; waits until the session has closed again.
void run_over_ssh(GuestVm &vm, const SystemCommands &commands, const std::string &user,
                  RowRun &done) {
    auto login = std::chrono::steady_clock::now();
    done.run = vm.run_over_ssh(user,
                               "loginctl show-session --all \"$XDG_SESSION_ID\" -p Remote -p Seat "
                               "-p Name >/tmp/ssh-session; "
                               "camera-probe");
    add_note(done, "the ssh login and run took " + std::to_string(seconds_since(login)) + " s");
    std::string session = run_or_throw(vm, commands.ssh_session_note, "reading the ssh session");
    for (const char *property : {"Remote=yes\n", "Seat=\n", "Name=headless\n"}) {
        EXPECT_NE(("\n" + session).find(std::string("\n") + property), std::string::npos)
            << "logind's ssh session: " << session;
    }
    run_or_throw(vm, commands.ssh_session_closed, "waiting for the ssh session to close");
}

void note_the_window(GuestVm &vm, const SystemCommands &commands, RowRun &done) {
    std::istringstream window(run_or_throw(vm, commands.window_note, "reading the window's note"));
    std::string word, mode_then, group_then, mode_after, group_after;
    double appeared = 0, exited = 0;
    window >> word >> appeared >> mode_then >> group_then >> word >> exited >> mode_after >>
        group_after;
    char text[256];
    std::snprintf(text, sizeof text,
                  "the node appeared at mode %s, group %s; camera-probe, started then, exited "
                  "%.1f s later, the node at mode %s, group %s; write access came %.1f s "
                  "after the node",
                  mode_then.c_str(), group_then.c_str(), exited - appeared, mode_after.c_str(),
                  group_after.c_str(), done.access_uptime - appeared);
    add_note(done, text);
}

void take_step(Step step, GuestVm &vm, const SystemCommands &commands, SystemState &state,
               const registry::Scenario &row, RowRun &done) {
    const std::string &user = row.system_user;
    switch (step) {
        case Step::install:
            if (!state.installed) {
                start_the_clock(done, "install began");
                ensure_installed(vm, commands, state, true);
                add_note(done, "apt-get install took " + std::to_string(seconds_since(done.since)) +
                                   " s");
            }
            break;
        case Step::purge:
            ensure_installed(vm, commands, state, false);
            break;
        case Step::blacklist:
            run_or_throw(vm, commands.blacklist_and_unload_driver,
                         "blacklisting and unloading the driver");
            state.driver_blacklisted = true;
            done.driver_expected = false;
            break;
        case Step::plug:
            start_the_clock(done, "plug");
            if (done.driver_expected) {
                done.bound = plug_beside_driver(vm, row);
            } else {
                done.bound.plugged = plug_row(vm, row);
            }
            break;
        case Step::wait_for_access: {
            std::istringstream waited(
                run_or_throw(vm, commands.wait_for_write_access, user + "'s write access", user));
            double elapsed = 0;
            waited >> elapsed >> done.access_uptime;
            done.access_seconds = seconds_since(done.since);
            break;
        }
        case Step::settle:
            // udev is handling a slow event: a settle that answers before
            // udev has done with it fails the row.
            run_or_throw(vm, commands.announce_usb, "udevadm trigger");
            vm.settle();
            EXPECT_EQ(vm.run(commands.udev_idle).exit_status, 0)
                << "the guest answered settle with udev events still queued";
            if (!done.driver_expected) {
                vm.wait_for_driver(0);
            }
            break;
        case Step::run:
        case Step::run_built:
            done.run = run_as(
                vm, step == Step::run ? commands.installed_probe : commands.built_probe, user);
            break;
        case Step::run_over_ssh:
            run_over_ssh(vm, commands, user, done);
            break;
        case Step::run_as_the_node_appears:
            done.bound.plugged = devices_of(row);
            start_the_clock(done, "plug");
            vm.plug_without_waiting(done.bound.plugged.on_the_bus());
            done.run = run_as(vm, commands.probe_when_the_node_appears, user);
            vm.wait_for_driver(done.bound.plugged.cameras.size());
            break;
        case Step::note_the_window:
            note_the_window(vm, commands, done);
            break;
    }
}

const RowSteps &steps_of(const registry::Scenario &row) {
    for (const RowSteps &steps : kRowSteps) {
        if (row.name == steps.row) {
            return steps;
        }
    }
    throw std::logic_error("the system suite does not know what row " + row.name + " does");
}

void print_row(const RowRun &done, const registry::Scenario &row) {
    std::printf("%s: as %s, ", row.name.c_str(), row.system_user.c_str());
    if (done.access_seconds >= 0) {
        std::printf("write access %.1f s after the %s; ", done.access_seconds, done.since_what);
    }
    std::printf("printed \"%s\", exit status %d%s%s\n", done.run.output.c_str(),
                done.run.exit_status, done.note.empty() ? "" : "; ", done.note.c_str());
}

}  // namespace

void run_system_row(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                    const registry::Scenario &row, registry::Stack stack) {
    const RowSteps &steps = steps_of(row);
    RowRun done;
    ensure_driver_allowed(vm, commands, state);
    for (Step step : steps.steps) {
        take_step(step, vm, commands, state, row, done);
    }
    const registry::Result &cell = row.on(stack);
    if (done.driver_expected) {
        vm.wait_for_driver(row.cameras.size());
        note_driver_transfers(done.bound);
        print_row(done, row);
        expect_desktop_cell(DesktopRowRun{done.bound, TimedRun{done.run, 0}}, row, cell);
    } else {
        EXPECT_NE(vm.run(commands.driver_module_loaded).exit_status, 0)
            << "the driver's module is loaded again after the replug";
        print_row(done, row);
        expect_transfers(done.bound.plugged, cell.transfers_reaching_camera);
        EXPECT_EQ(done.run.output, registry::expected_output(cell));
        EXPECT_EQ(done.run.exit_status, registry::status_seen_by_a_shell(cell));
        EXPECT_EQ(done.run.errors, "");
    }
    // Only the seat user holds a session: no run opened one, and an ssh
    // login's has closed.
    std::string users = run_or_throw(vm, commands.logged_in_users, "loginctl list-sessions");
    EXPECT_EQ(users.find("headless"), std::string::npos) << users;
    EXPECT_EQ(users.find("outsider"), std::string::npos) << users;
    EXPECT_NE(users.find("probe"), std::string::npos) << users;
}

}  // namespace e2e
