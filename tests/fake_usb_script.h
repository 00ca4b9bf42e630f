// SPDX-License-Identifier: MIT
// The unit tests' in-memory libusb (fake_usb.cpp) set up from a script: the
// libusb0.dll double reads one from its environment, and the unit tests
// play the scenario registry's scripts with it. Statements are separated by
// ';' or new lines:
//
//   scan B D          usb_find_busses() returns B, usb_find_devices() D (1 1 if not given)
//   bus               a new bus, after the others
//   device VVVV:PPPP  a device with these IDs (hexadecimal) on the last bus
//   camera [NN]       a camera on the last bus, register holding NN (default 00)
//   reply R [NN]      the last device answers its next transfer with R, delivering byte NN
//   reply stall       ... with what libusb-win32 returns when the device stalls it
//   reply gone        ... with what it returns when the device has been unplugged
//   open-fails        usb_open() of the last device fails
//
// Numbers take C notation (0x15, -5). The named replies are libusb-win32's
// results as measured on its own stack (registry/result_codes.h).
#ifndef CAMERA_PROBE_TESTS_FAKE_USB_SCRIPT_H
#define CAMERA_PROBE_TESTS_FAKE_USB_SCRIPT_H

#include <string>

namespace fake_usb {

// Adds what `script` says to the fake as it stands; throws
// std::invalid_argument, naming the statement, at one it cannot follow.
void play_script(const std::string &script);

}  // namespace fake_usb

#endif
