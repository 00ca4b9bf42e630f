// SPDX-License-Identifier: MIT
// Sets up the unit tests' in-memory libusb (fake_usb.cpp) behind the
// libusb0.dll double, from the script (fake_usb_script.h) in the environment
// variable LIBUSB0_DOUBLE_SCENARIO, when the DLL is loaded: the real
// camera-probe.exe then runs against a scripted USB world. Without the
// variable there are no buses and both scans succeed.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "fake_usb_script.h"

namespace {

constexpr const char *kScenarioVariable = "LIBUSB0_DOUBLE_SCENARIO";

// A scenario the double cannot follow is a broken test: say why and stop,
// rather than run the tool against something else.
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
