// SPDX-License-Identifier: MIT
// camera-probe where users run it: a Debian system in a QEMU guest
// (systemd, udev, logind), the project's .deb installed there with apt, the
// camera plugged through usbredir. udev loads the kernel's webcam driver,
// logind gives the seat user access, the rule gives the group plugdev
// access; the host sets no node's mode and loads no driver. One boot runs
// every row of one release's column, each doing what its name says first
// (kRowSteps), and on Debian's own releases the README's commands as
// written (run_readme_commands).
//
//   camera_probe_system_tests [--release=trixie|bookworm|forky] [gtest options]
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../missing_piece.h"
#include "doc_tables.h"
#include "driver_transfers.h"
#include "expected_output.h"
#include "guest_scenario.h"
#include "guest_suite.h"
#include "guest_vm.h"

namespace e2e {
namespace {

using usb_emulator::GuestRun;

struct SystemCommands {
    usb_emulator::SystemPackage package;
    GuestCommand installed_probe;
    GuestCommand built_probe;
    GuestCommand blacklist_and_unload_driver;
    GuestCommand restore_driver;
    // As a user: waits until that user may write the camera's node, and
    // prints the guest's uptime then, in seconds.
    GuestCommand wait_for_write_access;
    // As a user: waits for the camera's node to appear, notes its mode and
    // group in /tmp/window (window_note), and runs camera-probe at once.
    GuestCommand probe_when_the_node_appears;
    GuestCommand window_note;
    GuestCommand logged_in_users;
    GuestCommand driver_module_loaded;
    // Prints the package's status and " blacklisted" while the driver is.
    GuestCommand state_now;
    // Has udev announce the keyboard decoy again, which nothing else does and a
    // rule of the test's own makes take 2 s; exits 0 only while udev is idle.
    GuestCommand announce_usb;
    GuestCommand udev_idle;
    GuestCommand ssh_session_note;    // what logind made of an ssh login
    GuestCommand ssh_session_closed;  // waits until that session has closed
};

// What the rows change in the guest, as the suite has left it.
struct SystemState {
    bool installed = false;
    bool driver_blacklisted = false;
};
// The driver's module, and the file a user writes to keep it away.
const std::string kDriverModule = "gspca_ov519";
const std::string kBlacklistFile = "/etc/modprobe.d/camera-probe-no-gspca-ov519.conf";
// How long a user may wait for access before a row gives up, in seconds.
const char kAccessLimit[] = "30";

// Notes, camera by camera, how many transfers of its log are the driver's:
// those before the first read of the register after the driver's write of
// it, camera-probe's. After the run, however the two overlapped in time.
void note_driver_transfers(DriverBoundCameras &bound) {
    bound.driver_transfers.clear();
    for (const auto &camera : bound.plugged.cameras) {
        std::vector<usb_emulator::ControlTransfer> log = camera->transfers();
        auto driver_write = std::find_if(log.begin(), log.end(), [](const auto &transfer) {
            return is_sensor_request(transfer, expected::kWriteRequest, expected::kRegister);
        });
        auto first_read = std::find_if(driver_write, log.end(), [](const auto &transfer) {
            return is_sensor_request(transfer, expected::kReadRequest, expected::kRegister);
        });
        bound.driver_transfers.push_back(static_cast<std::size_t>(first_read - log.begin()));
    }
}

// The head of a shell loop that runs until the camera's node is there and
// passes `test` ("-e", "-w"), the node's path in $node.
std::string until_the_node(const char *test) {
    char loop[512];
    std::snprintf(loop, sizeof loop,
                  "until node=$(for d in /sys/bus/usb/devices/*; do [ \"$(cat \"$d/idVendor\" "
                  "2>/dev/null):$(cat \"$d/idProduct\" 2>/dev/null)\" = %04x:%04x ] && printf "
                  "'/dev/bus/usb/%%03d/%%03d' \"$(cat \"$d/busnum\")\" \"$(cat \"$d/devnum\")\"; "
                  "done; true) && [ -n \"$node\" ] && [ %s \"$node\" ]; do ",
                  kVendorId, kProductId, test);
    return loop;
}

GuestRun run_as(GuestVm &vm, const GuestCommand &command, const std::string &user) {
    usb_emulator::GuestRunOptions options;
    options.user = user;
    return vm.run(command, options);
}

std::string run_or_throw(GuestVm &vm, const GuestCommand &command, const std::string &what,
                         const std::string &user = "root") {
    GuestRun run = run_as(vm, command, user);
    if (run.exit_status != 0) {
        throw std::runtime_error(what + " failed with exit status " +
                                 std::to_string(run.exit_status) + ": " + run.errors);
    }
    return run.output;
}

// What the guest is now, as a failed row or a README section has left it.
SystemState state_of(GuestVm &vm, const SystemCommands &commands) {
    std::string state = run_or_throw(vm, commands.state_now, "reading the guest's state");
    return SystemState{state.rfind("install ok installed", 0) == 0,
                       state.find(" blacklisted") != std::string::npos};
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

// Checks camera-probe's `run` against `cell`: beside the driver, once it
// has bound every camera (expect_desktop_cell); without it, the driver's
// module still away, and the camera's transfers, output and status alone.
void expect_run(GuestVm &vm, const SystemCommands &commands, DriverBoundCameras &bound,
                const GuestRun &run, const registry::Scenario &row, const registry::Result &cell,
                bool beside_the_driver) {
    if (beside_the_driver) {
        vm.wait_for_driver(bound.plugged.cameras.size());
        note_driver_transfers(bound);
        expect_desktop_cell(DesktopRowRun{bound, TimedRun{run, 0}}, row, cell);
        return;
    }
    EXPECT_NE(vm.run(commands.driver_module_loaded).exit_status, 0)
        << "the driver's module is loaded again after the replug";
    expect_transfers(bound.plugged, cell.transfers_reaching_camera);
    EXPECT_EQ(run.output, registry::expected_output(cell));
    EXPECT_EQ(run.exit_status, registry::status_seen_by_a_shell(cell));
    EXPECT_EQ(run.errors, "");
}

// The .deb that make package left in `dir`; throws unless there is one.
std::string built_package(const std::string &dir) {
    std::vector<std::string> debs;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
        if (std::regex_match(entry.path().filename().string(),
                             std::regex("camera-probe_.*_amd64\\.deb"))) {
            debs.push_back(entry.path().string());
        }
    }
    if (debs.size() != 1) {
        throw std::runtime_error("expected one camera-probe_*_amd64.deb in " + dir + ", found " +
                                 std::to_string(debs.size()) + " (make package builds it)");
    }
    return debs.front();
}

SystemCommands stage_system_commands(GuestVm &vm, const std::string &deb,
                                     const std::string &built_probe) {
    SystemCommands commands;
    commands.package = usb_emulator::stage_system_package(vm, deb);
    commands.installed_probe = vm.add_shell_command("camera-probe");
    commands.built_probe = vm.add_command({built_probe});
    commands.blacklist_and_unload_driver =
        vm.add_shell_command("echo 'blacklist " + kDriverModule + "' >" + kBlacklistFile +
                             " && modprobe -r " + kDriverModule);
    commands.restore_driver =
        vm.add_shell_command("rm -f " + kBlacklistFile + " && modprobe " + kDriverModule);
    const std::string uptime = "$(cut -d' ' -f1 /proc/uptime)";
    commands.wait_for_write_access = vm.add_shell_command(
        "t0=" + uptime + "; " + until_the_node("-w") +
        "if [ \"$(awk -v t0=\"$t0\" '{ print ($1 - t0 > " + kAccessLimit +
        ") }' /proc/uptime)\" = 1 ]; then echo \"no write access to $node after " + kAccessLimit +
        " s:\" >&2; ls -l \"$node\" >&2; getfacl -p \"$node\" >&2; "
        "udevadm info -q property \"$node\" | grep TAGS >&2; exit 1; fi; sleep 0.05; done; "
        "echo " +
        uptime);
    const std::string node_now = uptime + " $(stat -c '%a %G' \"$node\")";
    commands.probe_when_the_node_appears =
        vm.add_shell_command(until_the_node("-e") + "sleep 0.01; done; echo \"appeared " +
                             node_now + "\" >/tmp/window; camera-probe; status=$?; echo \"exited " +
                             node_now + "\" >>/tmp/window; exit $status");
    commands.window_note = vm.add_shell_command("cat /tmp/window");
    commands.logged_in_users = vm.add_shell_command("loginctl list-sessions --no-legend");
    commands.driver_module_loaded = vm.add_shell_command("test -d /sys/module/" + kDriverModule);
    commands.state_now =
        vm.add_shell_command("dpkg-query -W -f='${Status}' camera-probe 2>/dev/null; test -e " +
                             kBlacklistFile + " && printf ' blacklisted'; true");
    const std::string slow_rule = "/run/udev/rules.d/99-camera-probe-test-slow.rules";
    commands.announce_usb = vm.add_shell_command(
        "test -e " + slow_rule +
        " || { mkdir -p /run/udev/rules.d && echo 'ACTION==\"change\", "
        "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"046d\", ATTR{idProduct}==\"c31c\", "
        "RUN+=\"/bin/sleep 2\"' >" +
        slow_rule +
        " && udevadm control --reload; } && "
        "udevadm trigger --action=change --attr-match=idVendor=046d --attr-match=idProduct=c31c");
    commands.udev_idle = vm.add_shell_command("udevadm settle --timeout=0");
    commands.ssh_session_note = vm.add_shell_command("cat /tmp/ssh-session");
    commands.ssh_session_closed = vm.add_shell_command(
        "for i in $(seq 100); do loginctl list-sessions --no-legend | grep -q headless || exit 0; "
        "sleep 0.2; done; loginctl list-sessions --no-legend >&2; exit 1");
    return commands;
}

// What a row does, in the order its table gives (take_step says how).
enum class Step {
    install,  // unless installed; the row's user's access timed from it
    purge,
    blacklist,  // and unload the driver, which the row expects to stay away
    plug,
    wait_for_access,  // until the row's user may write the node
    settle,
    run,  // as the row's user: the package's camera-probe, else this checkout's
    run_over_ssh,
    run_as_the_node_appears,  // plugged without waiting, started at once
    note_the_window,          // what the node was during that run
};

// Each row's steps, the driver allowed before them.
using S = Step;
const std::map<std::string, std::vector<Step>> kRowSteps = {
    {"InstalledWithTheCameraPlugged",
     {S::purge, S::plug, S::settle, S::install, S::wait_for_access, S::run}},
    {"SeatUserBesideTheDriverUdevLoaded",
     {S::install, S::plug, S::wait_for_access, S::settle, S::run}},
    {"PlugdevMemberWithoutASession", {S::install, S::plug, S::wait_for_access, S::settle, S::run}},
    {"PlugdevMemberOverSsh", {S::install, S::plug, S::wait_for_access, S::settle, S::run_over_ssh}},
    // A user the rule leaves at read only: no access to wait for.
    {"UserInNoGroupWithoutASession", {S::install, S::plug, S::settle, S::run}},
    {"RunAtOnceAfterAReplugBesideTheDriver",
     {S::install, S::run_as_the_node_appears, S::wait_for_access, S::settle, S::note_the_window}},
    {"DriverBlacklistedAndUnloadedThenReplugged",
     {S::install, S::blacklist, S::plug, S::wait_for_access, S::settle, S::run}},
    {"RulePurgedThenReplugged", {S::install, S::purge, S::plug, S::settle, S::run}},
};

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
                               "loginctl show-session --all \"$XDG_SESSION_ID\" -p Remote "
                               "-p Seat -p Name >/tmp/ssh-session; camera-probe");
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

// The row's cameras, fresh, plugged with the driver bound or without it.
DriverBoundCameras plug(GuestVm &vm, const registry::Scenario &row, bool driver) {
    return driver ? plug_beside_driver(vm, row) : DriverBoundCameras{plug_row(vm, row), {}, 0};
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
            done.bound = plug(vm, row, done.driver_expected);
            break;
        case Step::wait_for_access:
            done.access_uptime = std::stod(
                run_or_throw(vm, commands.wait_for_write_access, user + "'s write access", user));
            done.access_seconds = seconds_since(done.since);
            break;
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
            done.run =
                run_as(vm, state.installed ? commands.installed_probe : commands.built_probe, user);
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

// Does what the row's name says, runs camera-probe as the row's user,
// prints what it measured and checks the run against the row's `stack` cell.
void run_system_row(GuestVm &vm, const SystemCommands &commands, SystemState &state,
                    const registry::Scenario &row, registry::Stack stack) {
    auto steps = kRowSteps.find(row.name);
    if (steps == kRowSteps.end()) {
        throw std::logic_error("the system suite does not know what row " + row.name + " does");
    }
    RowRun done;
    ensure_driver_allowed(vm, commands, state);
    for (Step step : steps->second) {
        take_step(step, vm, commands, state, row, done);
    }
    std::printf("%s: as %s, ", row.name.c_str(), row.system_user.c_str());
    if (done.access_seconds >= 0) {
        std::printf("write access %.1f s after the %s; ", done.access_seconds, done.since_what);
    }
    std::printf("printed \"%s\", exit status %d%s%s\n", done.run.output.c_str(),
                done.run.exit_status, done.note.empty() ? "" : "; ", done.note.c_str());
    expect_run(vm, commands, done.bound, done.run, row, row.on(stack), done.driver_expected);
    // Only the seat user holds a session: no run opened one, and an ssh
    // login's has closed.
    std::string users = run_or_throw(vm, commands.logged_in_users, "loginctl list-sessions");
    EXPECT_EQ(users.find("headless"), std::string::npos) << users;
    EXPECT_EQ(users.find("outsider"), std::string::npos) << users;
    EXPECT_NE(users.find("probe"), std::string::npos) << users;
}

// The README's commands as written: the fenced shell blocks of its
// sections, read from README.md, run in the guest in order as the seat
// user, each block followed by a check of what its section promises. A
// section that fails fails alone; a guest lost throws.
const char kCheckout[] = "camera-probe";  // the seat user's, under $HOME
const char kSeatUser[] = "probe";

// A line of a block, staged to run in the guest unless it is a build step.
struct ReadmeLine {
    std::string text;
    GuestCommand command;
};

// A section the test runs, by the start of its title, and how many blocks
// it holds: every block has its check below, so a block added or dropped
// fails the test until the checks say what it promises.
struct ReadmeSection {
    const char *title;
    std::size_t blocks_checked;
    std::vector<std::vector<ReadmeLine>> blocks;
};

struct ReadmeCommands {
    ReadmeSection install{"Install", 2, {}};
    ReadmeSection permissions{"Permissions", 3, {}};
    ReadmeSection driver{"Beside the kernel's webcam driver", 2, {}};
    GuestCommand lay_out_the_checkout;
    GuestCommand note_package_files;
    GuestCommand package_files_left;
    GuestCommand wait_for_the_kernel;
    GuestCommand unpack_without_configuring;
    GuestCommand configure;
    GuestCommand seat_users_groups;
    GuestCommand leave_plugdev;
};

bool starts_with(const std::string &text, const std::string &head) {
    return text.rfind(head, 0) == 0;
}

// The lines of the fenced blocks written directly under the heading whose
// title starts with `title` (up to the next heading of any level), in
// order; throws if no heading has that title.
std::vector<std::vector<std::string>> blocks_under(const std::string &markdown,
                                                   const std::string &title) {
    std::istringstream lines(markdown);
    bool in_section = false;
    bool found = false;
    bool in_block = false;
    std::vector<std::vector<std::string>> blocks;
    for (std::string line; std::getline(lines, line);) {
        std::size_t level = line.find_first_not_of('#');
        if (in_block) {
            in_block = !starts_with(line, "```");
            if (in_block && !line.empty()) {
                blocks.back().push_back(line);
            }
        } else if (level != 0 && level != std::string::npos && line[level] == ' ') {
            in_section = starts_with(line.substr(level + 1), title);
            found = found || in_section;
        } else if (in_section && starts_with(line, "```")) {
            in_block = true;
            blocks.emplace_back();
        }
    }
    if (!found) {
        throw std::runtime_error("the README has no section titled \"" + title + "...\"");
    }
    return blocks;
}

// Reads the checkout's README and stages its blocks' lines and the
// checks' commands; the .deb the package's steps handed in goes where the
// checkout's build folder has it.
ReadmeCommands stage_readme_commands(GuestVm &vm, const usb_emulator::SystemPackage &package) {
    ReadmeCommands readme;
    std::string markdown = registry::read_text_file(CAMERA_PROBE_SOURCE_DIR "/README.md");
    const std::string in_the_checkout = "cd \"$HOME/" + std::string(kCheckout) + "\" && ";
    for (ReadmeSection *section : {&readme.install, &readme.permissions, &readme.driver}) {
        for (const std::vector<std::string> &block : blocks_under(markdown, section->title)) {
            section->blocks.emplace_back();
            for (const std::string &text : block) {
                section->blocks.back().push_back(
                    {text, starts_with(text, "make ")
                               ? GuestCommand{}
                               : vm.add_shell_command(in_the_checkout + text)});
            }
        }
    }
    const std::string &deb_in_guest = package.deb_in_guest;
    std::string checkout = std::string("/home/") + kSeatUser + "/" + kCheckout;
    // The user at the keyboard answers apt's "Do you want to continue?"
    // with yes; the lines run with no input.
    readme.lay_out_the_checkout = vm.add_shell_command(
        "install -D -o probe -g probe -m 0644 " + deb_in_guest + " " + checkout + "/build/" +
        deb_in_guest.substr(deb_in_guest.find_last_of('/') + 1) + " && chown -R probe:probe " +
        checkout +
        " && echo 'APT::Get::Assume-Yes \"true\";' >/etc/apt/apt.conf.d/90-the-user-says-yes");
    readme.note_package_files =
        vm.add_shell_command("dpkg-query -L camera-probe >/tmp/camera-probe-files");
    readme.package_files_left = vm.add_shell_command(
        "while read -r path; do if [ -f \"$path\" ] || { [ -L \"$path\" ] && [ ! -d \"$path\" ]; "
        "}; then echo \"$path\"; fi; done </tmp/camera-probe-files");
    readme.wait_for_the_kernel =
        vm.add_shell_command(until_the_node("-e") + "sleep 0.05; done; sleep 1");
    readme.unpack_without_configuring = vm.add_shell_command("dpkg --unpack " + deb_in_guest);
    readme.configure = vm.add_shell_command("dpkg --configure camera-probe");
    readme.seat_users_groups = vm.add_shell_command(std::string("id -nG ") + kSeatUser);
    readme.leave_plugdev =
        vm.add_shell_command(std::string("gpasswd -d ") + kSeatUser + " plugdev >/dev/null");
    return readme;
}

// Runs a block's lines in order as the seat user; a build step is checked
// on this host. Throws at the first line that fails, as a user would stop,
// and where the section holds other blocks than the checks know.
void run_block(GuestVm &vm, const ReadmeSection &section, std::size_t index) {
    if (section.blocks.size() != section.blocks_checked) {
        throw std::runtime_error("the README's section \"" + std::string(section.title) +
                                 "\" has " + std::to_string(section.blocks.size()) +
                                 " shell blocks; the test checks " +
                                 std::to_string(section.blocks_checked));
    }
    for (const ReadmeLine &line : section.blocks.at(index)) {
        std::printf("README, %s, block %zu: %s\n", section.title, index + 1, line.text.c_str());
        if (starts_with(line.text, "make ")) {
            std::string arguments = line.text.substr(std::string("make ").size());
            std::string check = std::string("make -s -n -C '") + CAMERA_PROBE_SOURCE_DIR + "' " +
                                arguments.substr(0, arguments.find(" #")) + " >/dev/null";
            if (std::system(check.c_str()) != 0) {
                throw std::runtime_error("the README's build step \"" + line.text +
                                         "\" is no target of the Makefile");
            }
            continue;
        }
        run_or_throw(vm, line.command,
                     "the README's line \"" + line.text + "\" (section " + section.title + ")",
                     kSeatUser);
    }
}

// The camera a user plugs: one that powers up with 0x00, among the decoys.
const registry::Scenario &users_camera() {
    return registry::scenario("OneCameraAmongDecoys");
}

// The seat user runs the installed camera-probe beside the driver: the
// reading (what the driver left, then 0x15) or, without write access, -1
// twice.
void expect_seat_user_reads(GuestVm &vm, const SystemCommands &commands, DriverBoundCameras &bound,
                            bool with_access) {
    using namespace registry;
    GuestRun run = run_as(vm, commands.installed_probe, kSeatUser);
    Result cell = with_access ? prints({reads(delivers_what_the_driver_left(), delivers(1, 0x15))})
                              : prints({reads(keeps(kNotPermitted), keeps(kNotPermitted))});
    cell.transfers_reaching_camera = with_access ? cell.transfers_reaching_camera : 0;
    expect_run(vm, commands, bound, run, users_camera(), cell, true);
}

// Install: apt installs the package and, the camera plugged, gives the seat
// user access at once; the purge takes every file of it away.
void check_install(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands) {
    DriverBoundCameras bound = plug(vm, users_camera(), true);
    vm.settle();
    run_block(vm, readme.install, 0);
    {
        SCOPED_TRACE("README, Install: installed with apt");
        EXPECT_EQ(run_or_throw(vm, commands.state_now, "dpkg-query"), "install ok installed");
        run_or_throw(vm, commands.wait_for_write_access, "the seat user's write access", kSeatUser);
        expect_seat_user_reads(vm, commands, bound, true);
        run_or_throw(vm, readme.note_package_files, "dpkg-query -L");
    }
    run_block(vm, readme.install, 1);
    SCOPED_TRACE("README, Install: purged");
    EXPECT_EQ(run_or_throw(vm, commands.state_now, "dpkg-query"), "");
    EXPECT_EQ(run_or_throw(vm, readme.package_files_left, "the package's files"), "");
}

// Permissions: joining plugdev; telling udev of a rule put in place
// without it (the package's files unpacked, its postinst not run), which
// gives the seat user access to a camera already plugged in; and waiting
// for udev after a plug-in, after which the seat user may run the probe.
void check_permissions(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands) {
    run_block(vm, readme.permissions, 0);
    {
        SCOPED_TRACE("README, Permissions: joining plugdev");
        std::string groups = run_or_throw(vm, readme.seat_users_groups, "id -nG");
        EXPECT_NE((" " + groups).find(" plugdev"), std::string::npos) << groups;
        // The seat user's access must keep coming from the seat alone.
        run_or_throw(vm, readme.leave_plugdev, "gpasswd -d");
    }
    {
        SCOPED_TRACE("README, Permissions: telling udev");
        DriverBoundCameras bound = plug(vm, users_camera(), true);
        vm.settle();
        run_or_throw(vm, readme.unpack_without_configuring, "dpkg --unpack");
        expect_seat_user_reads(vm, commands, bound, false);
        run_block(vm, readme.permissions, 1);
        vm.settle();
        expect_seat_user_reads(vm, commands, bound, true);
        run_or_throw(vm, readme.configure, "dpkg --configure");
    }
    SCOPED_TRACE("README, Permissions: waiting for udev after a plug-in");
    DriverBoundCameras bound;
    bound.plugged.cameras = devices_of(users_camera(), Faults::held_back).cameras;
    vm.plug_without_waiting(bound.plugged.on_the_bus());
    // The user types the block once the kernel has the camera, as a user
    // does a moment after the plug-in.
    run_or_throw(vm, readme.wait_for_the_kernel, "waiting for the camera's node");
    run_block(vm, readme.permissions, 2);
    expect_seat_user_reads(vm, commands, bound, true);
}

// The driver: kept away and unloaded as the README says, it does not come
// back at the replug, and the first read is the camera's own value; brought
// back, it binds to the camera again.
void check_driver(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands) {
    run_block(vm, readme.driver, 0);
    {
        SCOPED_TRACE("README, driver: without it, after a replug");
        DriverBoundCameras bound = plug(vm, users_camera(), false);
        vm.settle();
        vm.wait_for_driver(0);
        expect_run(vm, commands, bound, run_as(vm, commands.installed_probe, kSeatUser),
                   users_camera(), registry::prints({registry::healthy(0x00)}), false);
    }
    run_block(vm, readme.driver, 1);
    SCOPED_TRACE("README, driver: back");
    vm.wait_for_driver(1);
    EXPECT_EQ(vm.run(commands.driver_module_loaded).exit_status, 0)
        << "the driver's module is not loaded";
}

void run_readme_commands(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands,
                         SystemState &state) {
    ensure_driver_allowed(vm, commands, state);
    run_or_throw(vm, readme.lay_out_the_checkout, "laying out the checkout");
    // Each section from the package's state the one before leaves it in,
    // whether that one finished or not, read back from the guest.
    const std::pair<decltype(&check_install), bool> sections[] = {
        {check_install, false}, {check_permissions, false}, {check_driver, true}};
    for (const auto &[check, installed] : sections) {
        try {
            ensure_installed(vm, commands, state, installed);
            check(vm, readme, commands);
        } catch (const usb_emulator::GuestLost &) {
            throw;
        } catch (const std::exception &error) {
            ADD_FAILURE() << error.what();
        }
        state = state_of(vm, commands);
    }
}

struct Release {
    const char *name;
    registry::Stack stack;
    bool in_the_readme;
};
constexpr Release kReleases[] = {{"trixie", registry::Stack::amd64_system_trixie, true},
                                 {"bookworm", registry::Stack::amd64_system_bookworm, true},
                                 {"forky", registry::Stack::amd64_system_forky, false}};
const Release *release = &kReleases[0];

SystemCommands commands;
ReadmeCommands readme;
SystemState state;

// The system guest, camera-probe the package's, the rows' and the README's
// commands staged; after the boot, the seat user's session.
GuestSuitePlan plan() {
    GuestSuitePlan plan;
    plan.make_guest = [] {
        usb_emulator::GuestSettings settings =
            usb_emulator::GuestSettings::system_from_build(release->name);
        settings.forward_ssh = true;
        return std::make_unique<GuestVm>(settings, usb_ports_for_every_row());
    };
    plan.stacks = {
        {release->stack, "", [](GuestVm &vm) { return vm.add_shell_command("camera-probe"); }}};
    plan.stage = [](GuestVm &vm) {
        commands =
            stage_system_commands(vm, built_package(CAMERA_PROBE_PACKAGE_DIR), CAMERA_PROBE_BINARY);
        if (release->in_the_readme) {
            readme = stage_readme_commands(vm, commands.package);
        }
    };
    plan.after_boot = [](GuestVm &vm) {
        auto started = std::chrono::steady_clock::now();
        vm.wait_for_session("probe");
        std::printf("the seat user's session was active %.1f s after the boot\n",
                    seconds_since(started));
    };
    plan.after_failed_row = [](GuestVm &vm) { state = state_of(vm, commands); };
    // A row's steps, an apt run among them, and the driver's probe under TCG.
    plan.answer_limit = std::chrono::seconds(120);
    return plan;
}

// One guest for the rows and the README's commands, whichever runs first.
GuestSuite system_suite;

class SystemGuest : public ::testing::Environment {
  public:
    void SetUp() override { system_suite.boot(plan()); }
    void TearDown() override { system_suite.power_off(); }
};

class SystemRows : public ::testing::TestWithParam<ColumnRun> {
  protected:
    void SetUp() override { system_suite.require_guest(); }
};

TEST_P(SystemRows, ProbeOnADebianSystem) {
    const ColumnRun &run = GetParam();
    system_suite.run_row(
        [&] { run_system_row(system_suite.guest(), commands, state, run.row, run.stack); });
}

INSTANTIATE_TEST_SUITE_P(OneBoot, SystemRows, ::testing::ValuesIn(column_of(plan().stacks)),
                         NameOfRun());

// Registered after the rows, which run first, on the releases the README
// speaks of.
class ReadmeCommandsAsWritten : public ::testing::Test {
    void TestBody() override {
        system_suite.require_guest();
        if (!HasFatalFailure()) {
            system_suite.run_row(
                [] { run_readme_commands(system_suite.guest(), readme, commands, state); });
        }
    }
};

// Takes --release=NAME out of the arguments; false for an unknown release.
bool take_release(int &argc, char **argv) {
    const std::string option = "--release=";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind(option, 0) == 0) {
            std::string name = argv[i] + option.size();
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            release = std::find_if(std::begin(kReleases), std::end(kReleases),
                                   [&](const Release &known) { return name == known.name; });
            return release != std::end(kReleases);
        }
    }
    return true;
}

}  // namespace
}  // namespace e2e

int main(int argc, char **argv) {
    if (!e2e::take_release(argc, argv)) {
        std::fprintf(stderr, "camera_probe_system_tests: --release is trixie, bookworm or forky\n");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    std::string missing =
        usb_emulator::GuestSettings::system_from_build(e2e::release->name).missing();
    if (missing.empty()) {
        try {
            e2e::built_package(CAMERA_PROBE_PACKAGE_DIR);
        } catch (const std::exception &error) {
            missing = error.what();
        }
    }
    if (!missing.empty()) {
        return camera_probe_tests::report_missing_piece("system", missing);
    }
    if (e2e::release->in_the_readme) {
        ::testing::RegisterTest(
            "ReadmeCommands", "RunAsWrittenByTheSeatUser", nullptr, nullptr, __FILE__, __LINE__,
            []() -> ::testing::Test * { return new e2e::ReadmeCommandsAsWritten; });
    }
    ::testing::AddGlobalTestEnvironment(new e2e::SystemGuest);
    return RUN_ALL_TESTS();
}
