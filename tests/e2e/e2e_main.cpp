// SPDX-License-Identifier: MIT
// The umockdev suite's entry point. The build for libusb-compat-0.1 names
// the folder of its libusb-0.1.so.4 (LIBUSB_COMPAT_DIR): every program the
// suite starts finds that library first, and the expectations are
// libusb-compat's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e_support.h"
#include "process.h"

namespace {

#ifdef LIBUSB_COMPAT_DIR
// Puts libusb-compat first in the loader's path of every program started.
bool run_over_libusb_compat() {
    std::string library = LIBUSB_COMPAT_DIR "/libusb-0.1.so.4";
    if (std::FILE *file = std::fopen(library.c_str(), "rb")) {
        std::fclose(file);
    } else {
        std::fprintf(stderr, "no libusb-compat at %s\n", library.c_str());
        return false;
    }
    std::string path =
        usb_emulator::with_library_dir_first(usb_emulator::current_environment(), LIBUSB_COMPAT_DIR)
            .back();
    ::setenv("LD_LIBRARY_PATH", path.substr(path.find('=') + 1).c_str(), 1);
    e2e::set_libusb_under_test(e2e::Libusb::compat);
    return true;
}
#endif

}  // namespace

int main(int argc, char **argv) {
#ifdef CAMERA_PROBE_LSAN_SUPPRESSIONS
    // Built with the sanitizers: the libraries' known leaks are not ours.
    ::setenv("LSAN_OPTIONS", "suppressions=" CAMERA_PROBE_LSAN_SUPPRESSIONS, 0);
#endif
#ifdef LIBUSB_COMPAT_DIR
    if (!run_over_libusb_compat()) {
        return 1;
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
