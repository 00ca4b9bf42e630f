// SPDX-License-Identifier: MIT
// Plays the script (fake_usb_script.h) in LIBUSB0_DOUBLE_SCENARIO on the
// in-memory libusb behind the double as the DLL loads; without it there
// are no buses and both scans succeed.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "fake_usb_script.h"

namespace {

constexpr const char *kScenarioVariable = "LIBUSB0_DOUBLE_SCENARIO";

// A script the double cannot follow is a broken test: say why and stop.
void load_scenario() {
    const char *text = std::getenv(kScenarioVariable);
    if (text == nullptr) {
        return;
    }
    try {
        fake_usb::play_script(text);
    } catch (const std::invalid_argument &error) {
        std::fprintf(stderr, "libusb0 double: %s\n", error.what());
        std::fflush(stderr);
        std::abort();
    }
}

// Runs while the DLL is loaded, before camera-probe's main() starts.
struct ScenarioAtLoad {
    ScenarioAtLoad() { load_scenario(); }
} scenario_at_load;

}  // namespace
