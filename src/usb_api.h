// SPDX-License-Identifier: MIT
// The one place that names the libusb 0.1 header: libusb-win32 ships the
// same API under a different name so it does not clash with other usb.h.
#ifndef CAMERA_PROBE_USB_API_H
#define CAMERA_PROBE_USB_API_H

#ifdef _WIN32
#include <lusb0_usb.h>
#else
#include <usb.h>
#endif

#endif
