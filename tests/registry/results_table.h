// SPDX-License-Identifier: MIT
// The users' table of what camera-probe prints for each camera behaviour on
// each platform, as Markdown, printed from the scenario registry:
// docs/results.md is this text, and a unit test holds the two together.
#ifndef CAMERA_PROBE_TESTS_REGISTRY_RESULTS_TABLE_H
#define CAMERA_PROBE_TESTS_REGISTRY_RESULTS_TABLE_H

#include <string>

namespace registry {

std::string results_table();

}  // namespace registry

#endif
