// SPDX-License-Identifier: MIT
#include "camera_probe.h"

namespace camera_probe {

namespace {

// Brings the library up and has it scan; on failure prints why and
// returns false. Only a negative result is a failure: 0 means "nothing
// new", which is not an error.
bool scan_usb(std::FILE *out) {
    usb_set_debug(0);
    usb_init();
    if (usb_find_busses() < 0) {
        std::fputs("No hi ha busos USB", out);
        return false;
    }
    if (usb_find_devices() < 0) {
        std::fputs("No hi ha dispositius connectats als busos", out);
        return false;
    }
    return true;
}

}  // namespace

int run_camera_probe(std::FILE *out) {
    ProbeRun run{out, kProbeBytePreset};
    if (!scan_usb(out)) {
        return kExitScanFailed;
    }
    walk_buses(usb_get_busses(), run);
    return kExitWalkCompleted;
}

}  // namespace camera_probe
