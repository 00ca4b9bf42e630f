// SPDX-License-Identifier: MIT
// A QEMU guest booted from the distribution's own kernel, with emulated
// devices on its xHCI bus through usbredir, so that programs run against
// the kernel's real USB stack. One boot serves many runs: devices are
// replugged between them, and commands run as root or as an unprivileged
// user with the device nodes at a chosen mode.
#ifndef USB_EMULATOR_USBREDIR_GUEST_VM_H
#define USB_EMULATOR_USBREDIR_GUEST_VM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "initramfs.h"
#include "process.h"
#include "usb_device.h"
#include "usbredir_bus.h"

namespace usb_emulator {

struct GuestSettings {
    // Debian's name of the guest's architecture: amd64 (a PC) or arm64
    // (QEMU's virt board). A guest of another architecture than this host's
    // holds the libraries of its own in its image.
    std::string arch = "amd64";
    std::string qemu = "qemu-system-x86_64";
    // amd64: an uncompressed vmlinux, booted through PVH; arm64: the Image
    // as Debian ships it.
    std::string kernel;
    std::string base_initramfs;  // busybox, kernel modules, users; no /init
    std::string init_script;     // becomes /init
    // TCG unless asked for: whether KVM can boot this guest depends on
    // the host (docs/testing.md).
    bool kvm = false;
    std::chrono::seconds boot_limit{180};
    // The system guest (make system-image): a Debian root file system,
    // booted read-write on a throwaway overlay on its release's kernel with
    // Debian's initramfs, and init_script run there by a unit of its own.
    // Empty: the busybox guest.
    std::string system_image;
    std::string system_initrd;
    // The system guest: its sshd reachable from this host on a free port of
    // 127.0.0.1, through QEMU's user network, which reaches nothing beyond
    // the host, with a key made for this boot (run_over_ssh()).
    bool forward_ssh = false;
    // The system guest's Debian release, and whether its package's udev
    // rule is replaced by the one the RPM and the Arch package install (the
    // release standing in for those systems' udev).
    std::string system_release;
    bool rule_of_other_platforms = false;

    bool is_system() const { return !system_image.empty(); }

    // The guest of `arch` built with the project (make guest-image,
    // guest-image-arm64), and CAMERA_PROBE_VM_ACCEL=kvm for the host's own
    // architecture. Throws for an architecture without a guest.
    static GuestSettings from_build(const std::string &arch = "amd64");
    // The amd64 system guest of a Debian release (trixie, bookworm, forky)
    // as built with the project, on that release's kernel.
    static GuestSettings system_from_build(const std::string &release = "trixie");
    // What is missing to boot, or empty.
    std::string missing() const;
};

// What GuestVm throws when the guest stops answering or fails an order of
// the host's: what it was doing is lost with it. Other throws leave the
// guest answering.
struct GuestLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The architectures GuestSettings::from_build knows, by Debian's names.
std::vector<std::string> guest_architectures();
// The Debian releases make system-image builds, the default first.
std::vector<std::string> system_releases();

// A program staged into the guest; made by GuestVm::add_command.
struct GuestCommand {
    std::size_t index = 0;
};

struct GuestRunOptions {
    // "root", or "probe", the guest's unprivileged user. The system guest
    // has three: "probe", logged in at the seat, "headless", in the group
    // plugdev, and "outsider", in no group; none of these runs opens a
    // session.
    std::string user = "root";
    // Mode for every USB device node before the run, e.g. "0600"; "-"
    // leaves the kernel's (in the system guest, udev's: it refuses others).
    std::string node_mode = "-";
};

struct GuestRun {
    std::string output;
    std::string errors;
    int exit_status = -1;
};

class GuestVm {
  public:
    GuestVm(GuestSettings settings, std::size_t usb_ports);
    ~GuestVm();
    GuestVm(const GuestVm &) = delete;
    GuestVm &operator=(const GuestVm &) = delete;

    // Before boot(): stages argv[0] and the shared libraries it loads on
    // this host, as `host_environment` (LD_LIBRARY_PATH above all) makes
    // the host's loader resolve them, so the guest runs the same ones. A
    // guest of another architecture gets argv[0] alone: it loads the
    // libraries of the guest image.
    GuestCommand add_command(
        const std::vector<std::string> &argv,
        const std::vector<std::string> &host_environment = current_environment());
    // A command line for the guest's own shell (busybox), staging nothing.
    GuestCommand add_shell_command(const std::string &line);
    // Before boot(): a file of this host handed to the guest at `guest_path`
    // (of the system guest: under /opt/host). The system guest loads its
    // own libraries, so add_command stages a program alone there.
    void hand_in(const std::string &host_path, const std::string &guest_path,
                 std::uint32_t mode = 0644);
    // Where a path handed in ends up in the guest.
    std::string handed_in_path(const std::string &guest_path) const;

    void boot();
    // Replaces the devices on the bus with `devices`, then waits until the
    // guest has enumerated them and made their nodes.
    void plug(const std::vector<std::shared_ptr<UsbDevice>> &devices);
    // The same, but returns as soon as the bus holds them, before the guest
    // has seen them.
    void plug_without_waiting(const std::vector<std::shared_ptr<UsbDevice>> &devices);
    // The system guest: waits until `user` holds the active session on
    // seat0, or until udev has handled every event; throws if not.
    void wait_for_session(const std::string &user);
    void settle();
    GuestRun run(const GuestCommand &command, const GuestRunOptions &options = {});
    // Loads the kernel's webcam driver for the camera, so that it binds to
    // every camera plugged after it; throws if a module does not load.
    void load_driver();
    // Waits until `count` cameras are bound to that driver, each with its
    // video device node; throws if they are not within `limit`.
    void wait_for_driver(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(30));
    // How long plug() and run() wait for the guest to say something before
    // they give it up as stuck, and throw.
    void set_answer_limit(std::chrono::milliseconds limit) { answer_limit_ = limit; }
    void power_off();

    std::string kernel_release() const { return kernel_release_; }
    const GuestSettings &settings() const { return settings_; }
    // With forward_ssh: logs in as `user` with this host's ssh client and
    // runs `line` in that session; its output, errors and exit status.
    GuestRun run_over_ssh(const std::string &user, const std::string &line);
    // What the guest printed on its console, for diagnosing failures.
    std::string console() const;

  private:
    struct Staged {
        std::string guest_line;  // the shell command line that runs it in the guest
    };

    void stage_host_libraries(const std::string &program, const std::string &guest_dir,
                              const std::vector<std::string> &host_environment);
    std::string build_initramfs() const;
    std::string build_handed_in_disk() const;
    std::vector<std::string> qemu_arguments(const std::string &initramfs) const;
    void send(const std::string &text);
    std::string read_line(std::chrono::milliseconds limit);
    std::string read_exactly(std::size_t count);
    void fill_buffer(std::chrono::milliseconds limit);
    [[noreturn]] void fail(const std::string &what);
    void expect_answer(const std::string &order, const std::string &ok, const std::string &what);
    std::string qemu_state();
    void wait_for_devices(std::size_t count);
    void stop_qemu();

    GuestSettings settings_;
    std::string work_dir_;
    std::unique_ptr<UsbredirBus> bus_;
    CpioArchive programs_;
    std::vector<Staged> staged_;
    int agent_listener_ = -1;
    int agent_ = -1;
    std::string agent_buffer_;
    StartedProcess qemu_;
    bool qemu_running_ = false;
    std::string kernel_release_;
    std::chrono::milliseconds answer_limit_;
    int ssh_port_ = 0;
    GuestCommand accept_ssh_;
    bool ssh_accepted_ = false;
};

// The package's steps in a system guest not booted yet: the .deb handed
// in with the archive of its release's .debs that the image's apt reads
// at boot (its only source: the .deb's Depends resolve from it, as from
// the network on a user's machine), the install with apt-get, which on a
// release standing in for the RPM's and the Arch package's systems puts
// their rule in place of the .deb's and tells udev, and the purge.
struct SystemPackage {
    std::string deb_in_guest;
    GuestCommand install;
    GuestCommand purge;
};
SystemPackage stage_system_package(GuestVm &vm, const std::string &deb);

}  // namespace usb_emulator

#endif
