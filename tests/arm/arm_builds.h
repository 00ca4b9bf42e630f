// SPDX-License-Identifier: MIT
// The arm64 and armhf cross builds (make arm-build) as the arm tests find
// them, and the qemu-user that runs them here.
#ifndef CAMERA_PROBE_TESTS_ARM_ARM_BUILDS_H
#define CAMERA_PROBE_TESTS_ARM_ARM_BUILDS_H

#include <ostream>
#include <string>
#include <vector>

namespace arm_tests {

struct ArmBuild {
    std::string arch;       // Debian's name: arm64, armhf
    std::string build_dir;  // the cross build folder
    std::string qemu_user;  // qemu-aarch64, qemu-arm

    std::string camera_probe() const { return build_dir + "/camera-probe"; }
    std::string unit_tests() const { return build_dir + "/tests/camera_probe_unit_tests"; }
    // That architecture's Debian libraries, unpacked: qemu-user's -L.
    std::string runtime() const { return build_dir + "/runtime"; }
    // What of the build is missing to run it under qemu-user, or empty.
    std::string missing() const;
    // Whether camera-probe is built: what a guest needs of it.
    std::string missing_probe() const;
};

void PrintTo(const ArmBuild &build, std::ostream *out);

const std::vector<ArmBuild> &arm_builds();

}  // namespace arm_tests

#endif
