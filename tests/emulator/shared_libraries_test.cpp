// SPDX-License-Identifier: MIT
// What the QEMU guest is given of a program: the shared libraries the
// host's loader resolves for it under a given environment.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "initramfs.h"
#include "process.h"

namespace usb_emulator {
namespace {

namespace fs = std::filesystem;

std::string host_path_of(const std::vector<SharedLibrary> &libraries, const std::string &name) {
    for (const SharedLibrary &library : libraries) {
        if (library.name == name) {
            return library.host_path;
        }
    }
    return "";
}

// LD_LIBRARY_PATH=build/libusb-compat, as typed in the project's folder,
// stages the library in that folder, under its absolute path.
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
