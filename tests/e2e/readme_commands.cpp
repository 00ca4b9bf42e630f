// SPDX-License-Identifier: MIT
// The README's commands run as written: the fenced shell blocks of its
// sections on installing the package, on permissions and on the kernel's
// webcam driver, read from README.md itself, run in the system guest in
// the README's order as the seat user (sudo where a line says sudo), each
// block followed by a check of what its section promises. A section whose
// step fails fails alone and the next one runs; a guest lost throws.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "doc_tables.h"
#include "system_rows.h"

namespace e2e {

using usb_emulator::GuestRun;

namespace {

// Where the seat user's checkout is in the guest, and the user.
const char kCheckout[] = "camera-probe";
const char kSeatUser[] = "probe";

// A line of a block, staged to run in the guest; a build step (make ...)
// is checked on the build machine with make -n instead, and its result
// handed to the guest.
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

// What the README test runs, staged before the boot.
struct ReadmeCommands {
    std::string source_dir;
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

// Reads the README of `source_dir` and stages its blocks' lines and the
// checks' commands; the .deb the package's steps handed in goes where the
// checkout's build folder has it.
ReadmeCommands stage(GuestVm &vm, const std::string &source_dir,
                     const usb_emulator::SystemPackage &package) {
    ReadmeCommands readme;
    readme.source_dir = source_dir;
    std::string markdown = registry::read_text_file(source_dir + "/README.md");
    for (ReadmeSection *section : {&readme.install, &readme.permissions, &readme.driver}) {
        for (const std::vector<std::string> &block : blocks_under(markdown, section->title)) {
            section->blocks.emplace_back();
            for (const std::string &text : block) {
                section->blocks.back().push_back(
                    {text, starts_with(text, "make ")
                               ? GuestCommand{}
                               : vm.add_shell_command("cd \"$HOME/" + std::string(kCheckout) +
                                                      "\" && " + text)});
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
    readme.wait_for_the_kernel = vm.add_shell_command(
        "until node=" + camera_node_expression() +
        " && [ -n \"$node\" ] && [ -e \"$node\" ]; do sleep 0.05; done; sleep 1");
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
void run_block(GuestVm &vm, const ReadmeCommands &readme, const ReadmeSection &section,
               std::size_t index) {
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
            std::string check = "make -s -n -C '" + readme.source_dir + "' " +
                                arguments.substr(0, arguments.find(" #")) + " >/dev/null";
            if (std::system(check.c_str()) != 0) {
                throw std::runtime_error("the README's build step \"" + line.text +
                                         "\" is no target of the Makefile");
            }
            continue;
        }
        GuestRun run = run_as(vm, line.command, kSeatUser);
        if (run.exit_status != 0) {
            throw std::runtime_error("the README's line \"" + line.text + "\" (section " +
                                     section.title + ") failed with exit status " +
                                     std::to_string(run.exit_status) + ": " + run.output +
                                     run.errors);
        }
    }
}

// The camera a user plugs: one that powers up with 0x00, among the decoys.
const registry::Scenario &users_camera() {
    static const registry::Scenario row = [] {
        registry::Scenario camera;
        camera.name = "the README's camera";
        camera.cameras = {registry::Camera{}};
        return camera;
    }();
    return row;
}

// A fresh camera, plugged with the driver or without it, udev done with it.
DriverBoundCameras plug_camera(GuestVm &vm, bool driver) {
    DriverBoundCameras bound;
    if (driver) {
        bound = plug_beside_driver(vm, users_camera());
    } else {
        bound.plugged = plug_row(vm, users_camera());
    }
    vm.settle();
    return bound;
}

// The seat user runs the installed camera-probe beside the driver: the
// reading (what the driver left, then 0x15) or, without write access, -1
// twice.
void expect_seat_user_reads(GuestVm &vm, const SystemCommands &commands, DriverBoundCameras &bound,
                            bool with_access) {
    using namespace registry;
    GuestRun run = run_as(vm, commands.installed_probe, kSeatUser);
    vm.wait_for_driver(bound.plugged.cameras.size());
    note_driver_transfers(bound);
    Result cell = with_access ? prints({reads(delivers_what_the_driver_left(), delivers(1, 0x15))})
                              : prints({reads(keeps(kNotPermitted), keeps(kNotPermitted))});
    cell.transfers_reaching_camera = with_access ? cell.transfers_reaching_camera : 0;
    expect_desktop_cell(DesktopRowRun{bound, TimedRun{run, 0}}, users_camera(), cell);
}

// Install: apt installs the package and, the camera plugged, gives the seat
// user access at once; the purge takes every file of it away.
void check_install(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands,
                   SystemState &state) {
    DriverBoundCameras bound = plug_camera(vm, true);
    run_block(vm, readme, readme.install, 0);
    state.installed = true;
    {
        SCOPED_TRACE("README, Install: installed with apt");
        EXPECT_EQ(run_or_throw(vm, commands.state_now, "dpkg-query"), "install ok installed");
        run_or_throw(vm, commands.wait_for_write_access, "the seat user's write access", kSeatUser);
        expect_seat_user_reads(vm, commands, bound, true);
        run_or_throw(vm, readme.note_package_files, "dpkg-query -L");
    }
    run_block(vm, readme, readme.install, 1);
    state.installed = false;
    SCOPED_TRACE("README, Install: purged");
    EXPECT_EQ(run_or_throw(vm, commands.state_now, "dpkg-query"), "");
    EXPECT_EQ(run_or_throw(vm, readme.package_files_left, "the package's files"), "");
}

// Permissions: joining plugdev; telling udev of a rule put in place
// without it (the package's files unpacked, its postinst not run), which
// gives the seat user access to a camera already plugged in; and waiting
// for udev after a plug-in, after which the seat user may run the probe.
void check_permissions(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands,
                       SystemState &state) {
    run_block(vm, readme, readme.permissions, 0);
    {
        SCOPED_TRACE("README, Permissions: joining plugdev");
        std::string groups = run_or_throw(vm, readme.seat_users_groups, "id -nG");
        EXPECT_NE((" " + groups).find(" plugdev"), std::string::npos) << groups;
        // The seat user's access must keep coming from the seat alone.
        run_or_throw(vm, readme.leave_plugdev, "gpasswd -d");
    }
    {
        SCOPED_TRACE("README, Permissions: telling udev");
        DriverBoundCameras bound = plug_camera(vm, true);
        run_or_throw(vm, readme.unpack_without_configuring, "dpkg --unpack");
        expect_seat_user_reads(vm, commands, bound, false);
        run_block(vm, readme, readme.permissions, 1);
        vm.settle();
        expect_seat_user_reads(vm, commands, bound, true);
        run_or_throw(vm, readme.configure, "dpkg --configure");
        state.installed = true;
    }
    SCOPED_TRACE("README, Permissions: waiting for udev after a plug-in");
    DriverBoundCameras bound;
    CameraConfig held_back = configs_of(users_camera()).front();
    held_back.fault_armed = false;
    bound.plugged.cameras.push_back(std::make_shared<usb_emulator::Camera>(held_back));
    vm.plug_without_waiting({bound.plugged.cameras[0]});
    // The user types the block once the kernel has the camera, as a user
    // does a moment after the plug-in.
    run_or_throw(vm, readme.wait_for_the_kernel, "waiting for the camera's node");
    run_block(vm, readme, readme.permissions, 2);
    expect_seat_user_reads(vm, commands, bound, true);
}

// The driver: kept away and unloaded as the README says, it does not come
// back at the replug, and the first read is the camera's own value; brought
// back, it binds to the camera again.
void check_driver(GuestVm &vm, const ReadmeCommands &readme, const SystemCommands &commands,
                  SystemState &state) {
    run_block(vm, readme, readme.driver, 0);
    state.driver_blacklisted = true;
    {
        SCOPED_TRACE("README, driver: without it, after a replug");
        DriverBoundCameras bound = plug_camera(vm, false);
        bool loaded = vm.run(commands.driver_module_loaded).exit_status == 0;
        EXPECT_FALSE(loaded) << "udev loaded the driver again at the replug";
        if (!loaded) {
            vm.wait_for_driver(0);
        }
        GuestRun run = run_as(vm, commands.installed_probe, kSeatUser);
        EXPECT_EQ(run.output,
                  registry::expected_output(registry::prints({registry::healthy(0x00)})));
        EXPECT_EQ(run.exit_status, 0);
        expect_transfers(bound.plugged, 3);
    }
    run_block(vm, readme, readme.driver, 1);
    state.driver_blacklisted = false;
    SCOPED_TRACE("README, driver: back");
    vm.wait_for_driver(1);
    EXPECT_EQ(vm.run(commands.driver_module_loaded).exit_status, 0)
        << "the driver's module is not loaded";
}

}  // namespace

ReadmeRun stage_readme_commands(GuestVm &vm, const std::string &source_dir,
                                const usb_emulator::SystemPackage &package) {
    auto readme = std::make_shared<ReadmeCommands>(stage(vm, source_dir, package));
    return [readme](GuestVm &guest, const SystemCommands &commands, SystemState &state) {
        ensure_driver_allowed(guest, commands, state);
        run_or_throw(guest, readme->lay_out_the_checkout, "laying out the checkout");
        // Each section from the package's state the one before leaves it
        // in, whether that one finished or not.
        const std::pair<decltype(&check_install), bool> sections[] = {
            {check_install, false}, {check_permissions, false}, {check_driver, true}};
        for (const auto &[check, installed] : sections) {
            try {
                ensure_installed(guest, commands, state, installed);
                check(guest, *readme, commands, state);
            } catch (const usb_emulator::GuestLost &) {
                throw;
            } catch (const std::exception &error) {
                ADD_FAILURE() << error.what();
                state = state_of(guest, commands);
            }
        }
    };
}

}  // namespace e2e
