// SPDX-License-Identifier: MIT
#include "arm_builds.h"

#include <unistd.h>

#include <cstdio>

#include "process.h"

#ifndef ARM64_BUILD_DIR
#error "ARM64_BUILD_DIR must name the arm64 cross build"
#endif
#ifndef ARMHF_BUILD_DIR
#error "ARMHF_BUILD_DIR must name the armhf cross build"
#endif
#ifndef QEMU_USER_ARM64
#define QEMU_USER_ARM64 "qemu-aarch64"
#endif
#ifndef QEMU_USER_ARMHF
#define QEMU_USER_ARMHF "qemu-arm"
#endif

namespace arm_tests {

namespace {

bool executable(const std::string &path) {
    return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string ArmBuild::missing_probe() const {
    return executable(camera_probe()) ? "" : camera_probe() + " (make arm-build builds it)";
}

std::string ArmBuild::missing() const {
    if (!executable(usb_emulator::find_program(qemu_user))) {
        return qemu_user + " (Debian package qemu-user)";
    }
    if (std::string probe = missing_probe(); !probe.empty()) {
        return probe;
    }
    if (!executable(unit_tests())) {
        return unit_tests() + " (make arm-build builds it)";
    }
    if (::access((runtime() + "/lib").c_str(), R_OK) != 0) {
        return runtime() + " (make arm-build unpacks it)";
    }
    return "";
}

void PrintTo(const ArmBuild &build, std::ostream *out) {
    *out << build.arch;
}

const std::vector<ArmBuild> &arm_builds() {
    static const std::vector<ArmBuild> builds = {
        {"arm64", ARM64_BUILD_DIR, QEMU_USER_ARM64},
        {"armhf", ARMHF_BUILD_DIR, QEMU_USER_ARMHF},
    };
    return builds;
}

}  // namespace arm_tests
