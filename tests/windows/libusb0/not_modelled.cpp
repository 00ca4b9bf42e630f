// SPDX-License-Identifier: MIT
// The exports the tool never calls: libusb0.def maps each that returns a
// status to libusb0_double_fails (a negative errno, as libusb-win32 fails),
// each rundll entry to libusb0_double_does_nothing; the rest are below.
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
