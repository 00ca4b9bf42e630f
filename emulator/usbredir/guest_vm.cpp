// SPDX-License-Identifier: MIT
#include "guest_vm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#ifndef USB_EMULATOR_GUEST_DIR
#define USB_EMULATOR_GUEST_DIR ""
#endif
#ifndef USB_EMULATOR_GUEST_ARM64_DIR
#define USB_EMULATOR_GUEST_ARM64_DIR ""
#endif
#ifndef USB_EMULATOR_GUEST_INIT
#define USB_EMULATOR_GUEST_INIT ""
#endif
#ifndef USB_EMULATOR_SYSTEM_GUEST_DIR
#define USB_EMULATOR_SYSTEM_GUEST_DIR ""
#endif

namespace usb_emulator {

namespace {

// How long the guest may stay silent: a run may wait out several of the
// kernel's 5 s transfer timeouts, and all runs slow down under TCG.
constexpr std::chrono::milliseconds kAnswerLimit = std::chrono::seconds(120);
// How long a QEMU whose serial line has closed may take to exit, in ms.
constexpr int kExitGrace = 2000;

// The system guest: systemd, udev and logind want more memory than busybox,
// and TCG's translation cache, 1 GiB by default, is held to a quarter.
constexpr const char *kSystemMemoryMib = "512";
constexpr const char *kSystemAccel = "tcg,tb-size=256";
// Where the system guest's unit unpacks what the host hands in: not under
// /run, which Debian's initramfs mounts noexec.
constexpr const char *kSystemHandedInDir = "/opt/host";
// A raw disk is read in whole sectors.
constexpr std::size_t kSectorBytes = 512;

std::string quoted(const std::string &word) {
    std::string text = "'";
    for (char c : word) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

// A TCP port of 127.0.0.1 that no one listens on now, as the kernel picks
// it: guests booted side by side get different ones.
int free_local_port() {
    int socket_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool found = socket_fd >= 0 &&
                 ::bind(socket_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                 ::getsockname(socket_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (socket_fd >= 0) {
        ::close(socket_fd);
    }
    if (!found) {
        throw std::runtime_error(std::string("no free port on 127.0.0.1: ") + std::strerror(errno));
    }
    return ntohs(address.sin_port);
}

bool exists(const std::string &path) {
    return !path.empty() && ::access(path.c_str(), R_OK) == 0;
}

std::string tail_of(const std::string &path, std::size_t bytes) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string all = text.str();
    return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

std::string make_work_dir() {
    char pattern[] = "/tmp/camera-probe-vm-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    return pattern;
}

std::string base_name(const std::string &path) {
    return path.substr(path.find_last_of('/') + 1);
}

// How QEMU boots each architecture's guest, and where the project builds
// it. The PC (q35) has two 16550 serial ports: the console on ttyS0, the
// host's line on ttyS1. QEMU's virt board has a single PL011 (ttyAMA0, the
// console) and drops a second -serial without a word, so the host's line is
// the second port of a PCI serial card: ttyS1 again, for the same /init.
// Under TCG the Cortex-A57 boots in a few seconds; -cpu max, which emulates
// pointer authentication, takes about 18 s.
struct Machine {
    const char *arch;
    const char *qemu;
    const char *qemu_package;
    const char *guest_dir;           // as built
    const char *guest_dir_variable;  // the environment variable that overrides it
    const char *kernel_file;
    const char *make_target;
    const char *machine;
    const char *tcg_cpu;
    const char *memory_mib;
    const char *console;
    bool second_serial_on_pci;
};

const Machine kMachines[] = {
    {"amd64", "qemu-system-x86_64", "qemu-system-x86", USB_EMULATOR_GUEST_DIR,
     "CAMERA_PROBE_GUEST_DIR", "vmlinux", "guest-image", "q35", "max", "256", "ttyS0", false},
    {"arm64", "qemu-system-aarch64", "qemu-system-arm", USB_EMULATOR_GUEST_ARM64_DIR,
     "CAMERA_PROBE_GUEST_ARM64_DIR", "Image", "guest-image-arm64", "virt", "cortex-a57", "512",
     "ttyAMA0", true},
};

const Machine &machine_of(const std::string &arch) {
    for (const Machine &machine : kMachines) {
        if (arch == machine.arch) {
            return machine;
        }
    }
    throw std::invalid_argument("no guest for architecture " + arch);
}

// The architecture this program was built for, by Debian's name.
std::string host_architecture() {
#if defined(__x86_64__)
    return "amd64";
#elif defined(__aarch64__)
    return "arm64";
#else
    return "";
#endif
}

}  // namespace

std::vector<std::string> guest_architectures() {
    std::vector<std::string> names;
    for (const Machine &machine : kMachines) {
        names.emplace_back(machine.arch);
    }
    return names;
}

GuestSettings GuestSettings::from_build(const std::string &arch) {
    const Machine &machine = machine_of(arch);
    GuestSettings settings;
    settings.arch = arch;
    settings.qemu = machine.qemu;
    std::string guest_dir = machine.guest_dir;
    if (const char *override_dir = std::getenv(machine.guest_dir_variable)) {
        guest_dir = override_dir;
    }
    settings.kernel = guest_dir + "/" + machine.kernel_file;
    settings.base_initramfs = guest_dir + "/base.cpio";
    settings.init_script = USB_EMULATOR_GUEST_INIT;
    // KVM runs only a guest of this host's own architecture.
    const char *accel = std::getenv("CAMERA_PROBE_VM_ACCEL");
    settings.kvm = accel != nullptr && std::string(accel) == "kvm" && arch == host_architecture();
    return settings;
}

std::vector<std::string> system_releases() {
    return {"trixie", "bookworm", "forky"};
}

GuestSettings GuestSettings::system_from_build(const std::string &release) {
    GuestSettings settings = from_build("amd64");
    std::string system_dir = USB_EMULATOR_SYSTEM_GUEST_DIR;
    if (const char *override_dir = std::getenv("CAMERA_PROBE_SYSTEM_GUEST_DIR")) {
        system_dir = override_dir;
    }
    system_dir += "/" + release;
    settings.system_release = release;
    settings.rule_of_other_platforms = release == "forky";
    settings.kernel = system_dir + "/vmlinuz";
    // systemd's boot under TCG on a loaded machine: minutes, not seconds.
    settings.boot_limit = std::chrono::seconds(600);
    settings.system_image = system_dir + "/system.img";
    settings.system_initrd = system_dir + "/initrd.img";
    return settings;
}

std::string GuestSettings::missing() const {
    const Machine &machine = machine_of(arch);
    if (find_program(qemu).find('/') == std::string::npos) {
        return qemu + " (Debian package " + machine.qemu_package + ")";
    }
    if (is_system()) {
        for (const std::string *path : {&kernel, &system_image, &system_initrd, &init_script}) {
            if (!exists(*path)) {
                return *path + " (make system-image builds it)";
            }
        }
        return "";
    }
    for (const std::string *path : {&kernel, &base_initramfs, &init_script}) {
        if (!exists(*path)) {
            return *path + " (make " + machine.make_target + " builds it)";
        }
    }
    return "";
}

GuestVm::GuestVm(GuestSettings settings, std::size_t usb_ports)
    : settings_(std::move(settings)), work_dir_(make_work_dir()), answer_limit_(kAnswerLimit) {
    bus_ = std::make_unique<UsbredirBus>(work_dir_, usb_ports);
}

GuestVm::~GuestVm() {
    stop_qemu();
    if (agent_ >= 0) {
        ::close(agent_);
    }
    if (agent_listener_ >= 0) {
        ::close(agent_listener_);
    }
    bus_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(work_dir_, ignored);
}

GuestCommand GuestVm::add_command(const std::vector<std::string> &argv,
                                  const std::vector<std::string> &host_environment) {
    if (argv.empty()) {
        throw std::invalid_argument("add_command: no command");
    }
    std::string program = find_program(argv[0]);
    std::size_t index = staged_.size();
    std::string home = "/opt/command-" + std::to_string(index);
    programs_.add_host_file(home + "/" + base_name(program), program, 0755);
    std::string line = "exec " + handed_in_path(home + "/" + base_name(program));
    for (std::size_t i = 1; i < argv.size(); ++i) {
        line += " " + quoted(argv[i]);
    }
    // This host's loader cannot read a program of another architecture;
    // the guest's loader finds its libraries in the guest image. The
    // system guest is a Debian system with libraries of its own.
    if (settings_.arch == host_architecture() && !settings_.is_system()) {
        stage_host_libraries(program, home + "/lib", host_environment);
        line = "LD_LIBRARY_PATH=" + home + "/lib " + line;
    }
    staged_.push_back(Staged{line});
    return GuestCommand{index};
}

void GuestVm::stage_host_libraries(const std::string &program, const std::string &guest_dir,
                                   const std::vector<std::string> &host_environment) {
    std::string loader;
    std::vector<SharedLibrary> libraries = shared_libraries_of(program, loader, host_environment);
    for (const SharedLibrary &library : libraries) {
        programs_.add_host_file(guest_dir + "/" + library.name, library.host_path, 0755);
    }
    if (!loader.empty()) {
        programs_.add_host_file(loader, loader, 0755);
    }
}

GuestCommand GuestVm::add_shell_command(const std::string &line) {
    if (line.empty() || line.find('\n') != std::string::npos) {
        throw std::invalid_argument("add_shell_command: one non-empty line");
    }
    staged_.push_back(Staged{line});
    return GuestCommand{staged_.size() - 1};
}

void GuestVm::hand_in(const std::string &host_path, const std::string &guest_path,
                      std::uint32_t mode) {
    programs_.add_host_file(guest_path, host_path, mode);
}

std::string GuestVm::handed_in_path(const std::string &guest_path) const {
    return settings_.is_system() ? kSystemHandedInDir + guest_path : guest_path;
}

// The system guest's second disk: /init and what was handed in, as one
// newc archive, padded to whole sectors.
std::string GuestVm::build_handed_in_disk() const {
    CpioArchive extra = programs_;
    extra.add_host_file("/init", settings_.init_script, 0755);
    std::string bytes = extra.bytes();
    bytes.resize((bytes.size() + kSectorBytes - 1) / kSectorBytes * kSectorBytes, '\0');
    std::string path = work_dir_ + "/handed-in.cpio";
    std::ofstream file(path, std::ios::binary);
    file << bytes;
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

// The base image, then /init and the staged programs: the kernel unpacks
// concatenated archives one over the other.
std::string GuestVm::build_initramfs() const {
    CpioArchive extra = programs_;
    extra.add_host_file("/init", settings_.init_script, 0755);
    std::string path = work_dir_ + "/initramfs.cpio";
    std::ofstream file(path, std::ios::binary);
    file << read_host_file(settings_.base_initramfs) << extra.bytes();
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

// `initramfs` is the busybox guest's initramfs, or the system guest's
// second disk.
std::vector<std::string> GuestVm::qemu_arguments(const std::string &initramfs) const {
    const Machine &machine = machine_of(settings_.arch);
    bool system = settings_.is_system();
    std::string kernel_options =
        std::string("console=") + machine.console + " quiet loglevel=3 panic=-1 cryptomgr.notests";
    if (system) {
        // systemd-firstboot of Debian 14 asks the console for a locale,
        // a time zone and a password, and would wait for ever.
        kernel_options +=
            " root=/dev/vda rw fsck.mode=skip systemd.show_status=false systemd.firstboot=off";
    }
    std::vector<std::string> arguments = {
        settings_.qemu,
        "-machine",
        machine.machine,
        "-accel",
        settings_.kvm ? "kvm"
        : system      ? kSystemAccel
                      : "tcg",
        "-cpu",
        settings_.kvm ? "host" : machine.tcg_cpu,
        "-m",
        system ? kSystemMemoryMib : machine.memory_mib,
        "-smp",
        "1",
        "-nodefaults",
        "-no-user-config",
        "-display",
        "none",
        "-no-reboot",
        "-kernel",
        settings_.kernel,
        "-initrd",
        system ? settings_.system_initrd : initramfs,
        "-append",
        kernel_options,
        "-chardev",
        "file,id=console,path=" + work_dir_ + "/console.log",
        "-serial",
        "chardev:console",
        "-chardev",
        "socket,id=agent,path=" + work_dir_ + "/agent.sock",
    };
    if (machine.second_serial_on_pci) {
        arguments.insert(arguments.end(), {"-chardev", "null,id=unused", "-device",
                                           "pci-serial-2x,chardev1=unused,chardev2=agent"});
    } else {
        arguments.insert(arguments.end(), {"-serial", "chardev:agent"});
    }
    if (system) {
        // The image stays as built: the guest's writes go to a throwaway
        // overlay.
        arguments.insert(
            arguments.end(),
            {"-drive", "file=" + settings_.system_image + ",format=raw,if=virtio,snapshot=on",
             "-drive", "file=" + initramfs + ",format=raw,if=virtio,readonly=on"});
    }
    if (ssh_port_ != 0) {
        // restrict=on: the guest reaches neither the host nor the network,
        // only the forwarded port reaches the guest.
        arguments.insert(
            arguments.end(),
            {"-netdev",
             "user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:" + std::to_string(ssh_port_) + "-:22",
             "-device", "virtio-net-pci,netdev=net"});
    }
    arguments.insert(arguments.end(), {"-device", "qemu-xhci,id=xhci,p2=15,p3=1"});
    for (std::size_t port = 0; port < bus_->ports(); ++port) {
        std::string id = "usbredir" + std::to_string(port);
        arguments.insert(arguments.end(),
                         {"-chardev", "socket,id=" + id + ",path=" + bus_->socket_path(port),
                          "-device", "usb-redir,chardev=" + id + ",bus=xhci.0"});
    }
    return arguments;
}

void GuestVm::boot() {
    if (std::string missing = settings_.missing(); !missing.empty()) {
        throw std::runtime_error("cannot boot the guest: no " + missing);
    }
    if (settings_.forward_ssh) {
        ssh_port_ = free_local_port();
        std::string key = work_dir_ + "/ssh-key";
        if (std::system(
                ("ssh-keygen -q -t ed25519 -N '' -C camera-probe-test -f " + key).c_str()) != 0) {
            throw std::runtime_error("ssh-keygen could not make " + key);
        }
        hand_in(key + ".pub", "/ssh/authorized_keys");
        // The network up, and the key each user's.
        accept_ssh_ = add_shell_command(
            "link=$(ls /sys/class/net | grep -vx lo | head -n1) && ip address add 10.0.2.15/24 dev "
            "\"$link\" && ip link set \"$link\" up && for home in /home/*; do install -d -o "
            "\"${home##*/}\" -m 0700 \"$home/.ssh\" && install -o \"${home##*/}\" -m 0600 " +
            handed_in_path("/ssh/authorized_keys") + " \"$home/.ssh/\"; done");
    }
    std::string initramfs = settings_.is_system() ? build_handed_in_disk() : build_initramfs();
    agent_listener_ = listen_on_unix_socket(work_dir_ + "/agent.sock");
    int log =
        ::open((work_dir_ + "/qemu.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        throw std::runtime_error("cannot write " + work_dir_ + "/qemu.log");
    }
    qemu_ = start_process(qemu_arguments(initramfs), log);
    ::close(log);
    qemu_running_ = true;

    pollfd watched[2] = {{agent_listener_, POLLIN, 0}, {qemu_.exit_fd, POLLIN, 0}};
    if (::poll(watched, 2, static_cast<int>(kAnswerLimit.count())) <= 0 ||
        watched[0].revents == 0) {
        fail("QEMU did not connect to the guest's serial port");
    }
    agent_ = ::accept4(agent_listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (agent_ < 0) {
        fail("accept the guest's serial port");
    }
    std::string ready = read_line(settings_.boot_limit);
    if (ready.rfind("ready ", 0) != 0) {
        fail("the guest came up saying: " + ready);
    }
    kernel_release_ = ready.substr(6);
}

void GuestVm::plug(const std::vector<std::shared_ptr<UsbDevice>> &devices) {
    // Empty the bus first, so that old devices are not counted as new.
    bus_->plug({});
    wait_for_devices(0);
    bus_->plug(devices);
    wait_for_devices(devices.size());
}

void GuestVm::plug_without_waiting(const std::vector<std::shared_ptr<UsbDevice>> &devices) {
    bus_->plug({});
    wait_for_devices(0);
    bus_->plug(devices);
}

void GuestVm::expect_answer(const std::string &order, const std::string &ok,
                            const std::string &what) {
    send(order + "\n");
    std::string answer = read_line(answer_limit_);
    if (answer != ok) {
        fail(what + ": " + answer);
    }
}

void GuestVm::wait_for_session(const std::string &user) {
    expect_answer("session " + user, "session ok",
                  user + " holds no active session on the guest's seat0");
}

void GuestVm::settle() {
    expect_answer("settle", "settle ok", "udev in the guest did not settle");
}

void GuestVm::wait_for_devices(std::size_t count) {
    send("devices " + std::to_string(count) + "\n");
    std::string answer = read_line(answer_limit_);
    if (answer != "devices ok") {
        fail("the guest did not see " + std::to_string(count) + " USB devices: " + answer);
    }
}

void GuestVm::load_driver() {
    send("driver\n");
    std::string answer = read_line(answer_limit_);
    if (answer != "driver ok") {
        fail("the guest did not load the webcam driver: " + answer);
    }
}

void GuestVm::wait_for_driver(std::size_t count, std::chrono::seconds limit) {
    send("bound " + std::to_string(count) + " " + std::to_string(limit.count()) + "\n");
    std::string answer = read_line(answer_limit_);
    if (answer != "bound ok") {
        fail("the webcam driver did not bind " + std::to_string(count) +
             " cameras (interfaces, video nodes): " + answer);
    }
}

GuestRun GuestVm::run(const GuestCommand &command, const GuestRunOptions &options) {
    send("run " + options.user + " " + options.node_mode + "\n" +
         staged_.at(command.index).guest_line + "\n");
    std::istringstream result(read_line(answer_limit_));
    std::string word;
    std::size_t output_bytes = 0;
    std::size_t error_bytes = 0;
    GuestRun run;
    if (!(result >> word >> run.exit_status >> output_bytes >> error_bytes) || word != "result") {
        fail("the guest answered a run with: " + result.str());
    }
    run.output = read_exactly(output_bytes);
    run.errors = read_exactly(error_bytes);
    return run;
}

void GuestVm::power_off() {
    if (!qemu_running_) {
        return;
    }
    send("poweroff\n");
    pollfd exited{qemu_.exit_fd, POLLIN, 0};
    ::poll(&exited, 1, 30000);
    stop_qemu();
}

void GuestVm::stop_qemu() {
    if (!qemu_running_) {
        return;
    }
    pollfd exited{qemu_.exit_fd, POLLIN, 0};
    if (::poll(&exited, 1, 0) == 0) {
        ::kill(qemu_.pid, SIGKILL);
    }
    ::waitpid(qemu_.pid, nullptr, 0);
    ::close(qemu_.exit_fd);
    qemu_running_ = false;
}

std::string GuestVm::console() const {
    return tail_of(work_dir_ + "/console.log", 4000);
}

// How QEMU ended, if it has: reaped here, so that stop_qemu() has nothing
// left to wait for. Its sockets close as it exits, a moment before it can
// be reaped: it gets that moment.
std::string GuestVm::qemu_state() {
    if (!qemu_running_) {
        return "QEMU has been stopped";
    }
    pollfd exited{qemu_.exit_fd, POLLIN, 0};
    if (::poll(&exited, 1, kExitGrace) <= 0) {
        return "QEMU is still running";
    }
    int wait_status = 0;
    ::waitpid(qemu_.pid, &wait_status, 0);
    ::close(qemu_.exit_fd);
    qemu_running_ = false;
    if (WIFSIGNALED(wait_status)) {
        return "QEMU was killed by signal " + std::to_string(WTERMSIG(wait_status)) + " (" +
               strsignal(WTERMSIG(wait_status)) + ")";
    }
    return "QEMU exited with status " + std::to_string(shell_status(wait_status));
}

void GuestVm::fail(const std::string &what) {
    std::string state = qemu_state();
    throw GuestLost(what + "\n--- guest console (end) ---\n" + console() + "\n--- QEMU ---\n" +
                    state + "\n" + tail_of(work_dir_ + "/qemu.log", 2000));
}

// Never SIGPIPE: when QEMU has gone, the write fails and fail() says why.
void GuestVm::send(const std::string &text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t wrote = ::send(agent_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno != EINTR) {
            fail(std::string("lost the guest's serial port: ") + std::strerror(errno));
        }
        sent += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
}

// Waits for more bytes from the guest; fails when QEMU exits or the guest
// stays silent longer than `limit`.
void GuestVm::fill_buffer(std::chrono::milliseconds limit) {
    pollfd watched[2] = {{agent_, POLLIN, 0}, {qemu_.exit_fd, POLLIN, 0}};
    int ready = ::poll(watched, 2, static_cast<int>(limit.count()));
    if (ready <= 0) {
        fail("the guest stopped answering");
    }
    if (watched[0].revents == 0) {
        fail("QEMU exited");
    }
    char chunk[4096];
    ssize_t got = ::read(agent_, chunk, sizeof chunk);
    if (got <= 0) {
        fail("the guest's serial port closed");
    }
    agent_buffer_.append(chunk, static_cast<std::size_t>(got));
}

std::string GuestVm::read_line(std::chrono::milliseconds limit) {
    std::size_t end;
    while ((end = agent_buffer_.find('\n')) == std::string::npos) {
        fill_buffer(limit);
    }
    std::string line = agent_buffer_.substr(0, end);
    agent_buffer_.erase(0, end + 1);
    return line;
}

std::string GuestVm::read_exactly(std::size_t count) {
    while (agent_buffer_.size() < count) {
        fill_buffer(answer_limit_);
    }
    std::string bytes = agent_buffer_.substr(0, count);
    agent_buffer_.erase(0, count);
    return bytes;
}

GuestRun GuestVm::run_over_ssh(const std::string &user, const std::string &line) {
    if (!ssh_accepted_) {
        GuestRun accepted = run(accept_ssh_);
        if (accepted.exit_status != 0) {
            fail("the guest could not take ssh logins: " + accepted.errors);
        }
        ssh_accepted_ = true;
    }
    std::string errors_file = work_dir_ + "/ssh-errors";
    std::string ssh = "ssh -q -p " + std::to_string(ssh_port_) + " -i " + work_dir_ +
                      "/ssh-key -o IdentitiesOnly=yes -o BatchMode=yes -o "
                      "StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o "
                      "ConnectTimeout=60 " +
                      quoted(user + "@127.0.0.1") + " " + quoted(line) + " </dev/null 2>" +
                      errors_file;
    GuestRun result;
    FILE *pipe = ::popen(ssh.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot start ssh");
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, got);
    }
    int status = ::pclose(pipe);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream errors(errors_file);
    result.errors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
    return result;
}

SystemPackage stage_system_package(GuestVm &vm, const std::string &deb) {
    const GuestSettings &settings = vm.settings();
    std::filesystem::path archive =
        std::filesystem::path(settings.system_image).parent_path() / "archive";
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(archive, error)) {
        vm.hand_in(entry.path().string(), "/archive/" + entry.path().filename().string());
    }
    if (error || !exists((archive / "Packages").string())) {
        throw std::runtime_error("no archive at " + archive.string() +
                                 " (make system-image builds it)");
    }
    SystemPackage package;
    package.deb_in_guest = vm.handed_in_path("/debs/" + deb.substr(deb.find_last_of('/') + 1));
    vm.hand_in(deb, package.deb_in_guest.substr(std::strlen(kSystemHandedInDir)));
    std::string apt_get = "DEBIAN_FRONTEND=noninteractive apt-get -y -qq ";
    std::string install = apt_get + "install " + package.deb_in_guest + " </dev/null";
    if (settings.rule_of_other_platforms) {
        vm.hand_in(USB_EMULATOR_UDEV_RULE, "/rule/70-camera-probe.rules");
        install +=
            " && for rule in $(dpkg-query -L camera-probe | grep -E "
            "'/rules\\.d/[^/]*camera-probe[^/]*\\.rules$'); do cp " +
            vm.handed_in_path("/rule/70-camera-probe.rules") +
            " \"$rule\"; done && udevadm control --reload-rules && udevadm trigger "
            "--subsystem-match=usb --attr-match=idVendor=05a9";
    }
    package.install = vm.add_shell_command(install);
    package.purge = vm.add_shell_command(apt_get + "purge camera-probe </dev/null");
    return package;
}

}  // namespace usb_emulator
