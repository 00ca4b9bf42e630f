// SPDX-License-Identifier: MIT
// How a suite that cannot run on this machine says so: the piece it lacks
// and exit status 77, which CTest reports as skipped or, where the checks
// are required (CI), as a failure (cmake/Checks.cmake).
#ifndef CAMERA_PROBE_TESTS_MISSING_PIECE_H
#define CAMERA_PROBE_TESTS_MISSING_PIECE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace camera_probe_tests {

constexpr int kMissingPieceStatus = 77;

// `suite` cannot run without `missing`, which says what provides it.
inline int report_missing_piece(const char *suite, const std::string &missing) {
    std::printf("%s tests cannot run: no %s\n", suite, missing.c_str());
    return kMissingPieceStatus;
}

// A suite's main(): runs its tests, unless `missing` names a piece it lacks.
inline int run_unless_missing(int argc, char **argv, const char *suite,
                              const std::string &missing) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!missing.empty()) {
        return report_missing_piece(suite, missing);
    }
    return RUN_ALL_TESTS();
}

}  // namespace camera_probe_tests

#endif
