// SPDX-License-Identifier: MIT
#include "wine_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "testbed_process.h"

#ifndef USB_EMULATOR_WINE_STACK_DIR
#define USB_EMULATOR_WINE_STACK_DIR "build-windows/wine-stack"
#endif

namespace usb_emulator {

namespace {

constexpr auto kServerTimeLimit = std::chrono::seconds(30);

bool exists(const std::string &path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// Wine's drive Z: is the Linux root.
std::string windows_path(const std::string &linux_path) {
    return "Z:" + linux_path;
}

// A descriptor on /dev/null, closed when it goes out of scope.
class NullDevice {
  public:
    NullDevice() : fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {
        if (fd_ < 0) {
            throw std::runtime_error(std::string("/dev/null: ") + std::strerror(errno));
        }
    }
    ~NullDevice() { ::close(fd_); }
    NullDevice(const NullDevice &) = delete;
    NullDevice &operator=(const NullDevice &) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// The first programs of a session (wineserver, and the one that starts the
// services) leave processes behind that hold their standard output for the
// session's whole life, so it goes nowhere; standard error stays ours, for
// WINEDEBUG's messages.
ProcessResult run_detached(const std::string &umockdev_dir, const std::vector<std::string> &argv,
                           std::chrono::milliseconds time_limit) {
    NullDevice null_device;
    ProcessOptions options;
    options.stdout_fd = null_device.fd();
    options.time_limit = time_limit;
    return run_in_testbed(umockdev_dir, argv, options);
}

}  // namespace

std::string WineStack::loader() const {
    return dir + "/wine/lib/wine/wine64";
}

std::string WineStack::server() const {
    return dir + "/wine/lib/wine/wineserver";
}

std::string WineStack::prefix() const {
    return dir + "/prefix";
}

std::string WineStack::dll_dir() const {
    return dir + "/bin";
}

std::string WineStack::await_cameras() const {
    return dir + "/bin/await-cameras.exe";
}

std::vector<std::string> WineStack::missing() const {
    std::vector<std::string> absent;
    for (const std::string &piece : {loader(), server(), prefix() + "/system.reg",
                                     dll_dir() + "/libusb0.dll", await_cameras()}) {
        if (!exists(piece)) {
            absent.push_back(piece);
        }
    }
    return absent;
}

WineStack WineStack::from_build() {
    const char *dir = std::getenv("CAMERA_PROBE_WINE_STACK");
    return WineStack{dir != nullptr && *dir != '\0' ? dir : USB_EMULATOR_WINE_STACK_DIR};
}

WineSession::WineSession(WineStack stack, std::string umockdev_dir)
    : stack_(std::move(stack)), umockdev_dir_(std::move(umockdev_dir)) {
    std::string lock_path = stack_.prefix() + ".lock";
    lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        throw std::runtime_error(lock_path + ": " + std::strerror(errno));
    }
    while (::flock(lock_fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int error = errno;
            ::close(lock_fd_);
            throw std::runtime_error(lock_path + ": " + std::strerror(error));
        }
    }
    end();
}

WineSession::~WineSession() {
    try {
        end();
    } catch (const std::exception &) {
        // The lock goes with the descriptor; nothing else is left to undo.
    }
    ::close(lock_fd_);
}

std::vector<std::string> WineSession::in_session(const std::vector<std::string> &argv) const {
    std::vector<std::string> command = {"env",
                                        "-u",
                                        "DISPLAY",
                                        "-u",
                                        "WAYLAND_DISPLAY",
                                        "WINEPREFIX=" + stack_.prefix(),
                                        "WINELOADER=" + stack_.loader(),
                                        "WINEPATH=" + windows_path(stack_.dll_dir()),
                                        "WINEDLLOVERRIDES=mscoree,mshtml="};
    // Wine's own messages stay off unless the caller asks for them.
    if (std::getenv("WINEDEBUG") == nullptr) {
        command.emplace_back("WINEDEBUG=-all");
    }
    command.push_back(stack_.loader());
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::vector<std::string> WineSession::server_command(const std::string &option) const {
    return {"env", "WINEPREFIX=" + stack_.prefix(), stack_.server(), option};
}

void WineSession::start(long cameras, std::chrono::milliseconds timeout) {
    // A server that stays when its last program exits: between the program
    // that waits for the cameras and the one that uses them there is none.
    run_detached(umockdev_dir_, server_command("-p"), kServerTimeLimit);
    std::vector<std::string> await = {stack_.await_cameras(), std::to_string(cameras),
                                      std::to_string(timeout.count())};
    ProcessResult ready =
        run_detached(umockdev_dir_, in_session(await), timeout + std::chrono::seconds(30));
    if (ready.exec_error != 0 || ready.exit_status != 0) {
        throw std::runtime_error("libusb0.sys did not start " + std::to_string(cameras) +
                                 " camera(s) under Wine (await-cameras.exe exit status " +
                                 std::to_string(ready.exit_status) +
                                 "); WINEDEBUG=+loaddll,+plugplay shows what Wine loaded");
    }
}

ProcessResult WineSession::run(const std::vector<std::string> &argv,
                               const ProcessOptions &options) const {
    return run_in_testbed(umockdev_dir_, in_session(argv), options);
}

void WineSession::end() {
    ProcessOptions options;
    options.time_limit = kServerTimeLimit;
    run_process(server_command("-k"), current_environment(), options);
    run_process(server_command("-w"), current_environment(), options);
}

}  // namespace usb_emulator
