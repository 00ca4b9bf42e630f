// SPDX-License-Identifier: MIT
// The guest's host side without a guest: when QEMU or its connections
// fail, it says what happened and where the guest was, and never dies of
// SIGPIPE (a stand-in QEMU fails on cue); and what the guest is given of a
// program, the shared libraries the host's loader resolves for it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "guest_vm.h"
#include "initramfs.h"
#include "process.h"

namespace usb_emulator {
namespace {

namespace fs = std::filesystem;

class GuestFailures : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() / ("camera-probe-fake-guest-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        for (const char *name : {"vmlinux", "base.cpio", "init"}) {
            std::ofstream(dir_ / name) << "stand-in\n";
        }
        settings_.qemu = FAKE_QEMU_BINARY;
        settings_.kernel = (dir_ / "vmlinux").string();
        settings_.base_initramfs = (dir_ / "base.cpio").string();
        settings_.init_script = (dir_ / "init").string();
        settings_.boot_limit = std::chrono::seconds(20);
    }
    void TearDown() override {
        ::unsetenv("FAKE_QEMU_FAILURE");
        ::unsetenv("FAKE_QEMU_CLOSED");
        fs::remove_all(dir_);
    }

    // What the guest's failure made GuestVm throw, after `action`.
    template <typename Action>
    std::string failure_of(const char *failure, Action action) {
        ::setenv("FAKE_QEMU_FAILURE", failure, 1);
        GuestVm vm(settings_, 1);
        GuestCommand command = vm.add_shell_command("echo hello");
        vm.boot();
        EXPECT_EQ(vm.kernel_release(), "fake-release");
        try {
            action(vm, command);
        } catch (const std::runtime_error &error) {
            return error.what();
        }
        return "(nothing thrown)";
    }

    fs::path dir_;
    GuestSettings settings_;
};

TEST_F(GuestFailures, QemuKilledMidRunIsReportedWithTheConsoleTailAndHowQemuEnded) {
    std::string message = failure_of(
        "killed-at-run", [](GuestVm &vm, const GuestCommand &command) { vm.run(command); });
    EXPECT_NE(message.find("fake guest: got run root -\necho hello\n"), std::string::npos)
        << message;
    EXPECT_NE(message.find("QEMU was killed by signal 9"), std::string::npos) << message;
    EXPECT_NE(message.find("fake qemu: about to be killed"), std::string::npos) << message;
}

// The next order goes to a closed socket: EPIPE, where a plain write
// would raise SIGPIPE and end the process before it said anything.
TEST_F(GuestFailures, ALostSerialPortIsAnErrorNotASignal) {
    fs::path closed = dir_ / "serial-closed";
    ::setenv("FAKE_QEMU_CLOSED", closed.c_str(), 1);
    std::string message = failure_of("serial-closed", [&closed](GuestVm &vm, const GuestCommand &) {
        for (int waited = 0; !fs::exists(closed) && waited < 100; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        vm.plug({});
    });
    EXPECT_NE(message.find("lost the guest's serial port"), std::string::npos) << message;
    EXPECT_NE(message.find("QEMU is still running"), std::string::npos) << message;
    EXPECT_NE(message.find("fake qemu: serial port closed"), std::string::npos) << message;
}

std::string host_path_of(const std::vector<SharedLibrary> &libraries, const std::string &name) {
    for (const SharedLibrary &library : libraries) {
        if (library.name == name) {
            return library.host_path;
        }
    }
    return "";
}

// A relative LD_LIBRARY_PATH (build/libusb-compat) stages the library from the working folder.
TEST(SharedLibraries, RelativeLibraryPathIsTakenFromTheWorkingDirectory) {
    std::string loader;
    std::string libc =
        host_path_of(shared_libraries_of("/bin/sh", loader, current_environment()), "libc.so.6");
    ASSERT_FALSE(libc.empty());
    fs::path base = fs::temp_directory_path() /
                    ("camera-probe-libraries-" + std::to_string(static_cast<long>(::getpid())));
    fs::create_directories(base / "lib");
    fs::copy_file(libc, base / "lib" / "libc.so.6", fs::copy_options::overwrite_existing);
    fs::path working_directory = fs::current_path();

    fs::current_path(base);
    std::vector<SharedLibrary> staged = shared_libraries_of(
        "/bin/sh", loader, with_library_dir_first(current_environment(), "lib"));
    fs::current_path(working_directory);
    fs::remove_all(base);

    EXPECT_EQ(host_path_of(staged, "libc.so.6"), (base / "lib" / "libc.so.6").string());
    EXPECT_NE(libc, (base / "lib" / "libc.so.6").string());
}

}  // namespace
}  // namespace usb_emulator
