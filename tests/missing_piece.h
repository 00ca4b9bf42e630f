// SPDX-License-Identifier: MIT
// How a suite that cannot run on this machine says so: the piece it lacks
// and exit status 77, which CTest reports as skipped or, where the checks
// are required (CI), as a failure (cmake/Checks.cmake).
#ifndef CAMERA_PROBE_TESTS_MISSING_PIECE_H
#define CAMERA_PROBE_TESTS_MISSING_PIECE_H

#include <cstdio>
#include <string>

namespace camera_probe_tests {

constexpr int kMissingPieceStatus = 77;

// `suite` cannot run without `missing`, which says what provides it.
inline int report_missing_piece(const char *suite, const std::string &missing) {
    std::printf("%s tests cannot run: no %s\n", suite, missing.c_str());
    return kMissingPieceStatus;
}

}  // namespace camera_probe_tests

#endif
