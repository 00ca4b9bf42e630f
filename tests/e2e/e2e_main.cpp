// SPDX-License-Identifier: MIT
// The umockdev suite's entry point. With --libusb-compat=DIR the scenarios
// run over libusb-compat-0.1: every program the suite starts finds DIR's
// libusb-0.1.so.4 first, and the expectations are libusb-compat's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e_support.h"
#include "process.h"

namespace {

const char kCompatOption[] = "--libusb-compat=";

// Takes --libusb-compat=DIR out of argv; returns DIR, or empty.
std::string take_compat_dir(int &argc, char **argv) {
    std::string dir;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument.rfind(kCompatOption, 0) == 0) {
            dir = argument.substr(sizeof kCompatOption - 1);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return dir;
}

}  // namespace

int main(int argc, char **argv) {
    std::string compat_dir = take_compat_dir(argc, argv);
    if (!compat_dir.empty()) {
        std::string library = compat_dir + "/libusb-0.1.so.4";
        if (std::FILE *file = std::fopen(library.c_str(), "rb")) {
            std::fclose(file);
        } else {
            std::fprintf(stderr, "no libusb-compat at %s\n", library.c_str());
            return 1;
        }
        std::string path =
            usb_emulator::with_library_dir_first(usb_emulator::current_environment(), compat_dir)
                .back();
        ::setenv("LD_LIBRARY_PATH", path.substr(path.find('=') + 1).c_str(), 1);
        e2e::set_libusb_under_test(e2e::Libusb::compat);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
