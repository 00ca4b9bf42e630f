// SPDX-License-Identifier: MIT
// The rest of libusb0.dll's exports, so that the double offers everything the
// real DLL does. The tool calls none of them: libusb0.def exports each
// function that returns a status as libusb0_double_fails, which fails with
// a negative errno as libusb-win32 reports an error, and each rundll entry
// as libusb0_double_does_nothing. Those that return an object are below.
#include <cerrno>

#include "usb_api.h"

extern "C" int libusb0_double_fails() {
    return -ENOSYS;
}

extern "C" void CALLBACK libusb0_double_does_nothing() {}

char *usb_strerror(void) {
    static char message[] = "not modelled by the libusb0.dll test double";
    return message;
}

struct usb_device *usb_device(usb_dev_handle *) {
    return nullptr;
}

// The version the header describes; -1 for a driver that is not running.
const struct usb_version *usb_get_version(void) {
    static const struct usb_version version = {{1, 4, 0, 2}, {-1, -1, -1, -1}};
    return &version;
}
