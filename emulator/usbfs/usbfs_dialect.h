// SPDX-License-Identifier: MIT
// How usbfs speaks: the synchronous control ioctl's request as the device
// sees it, and how usbfs reports each outcome, as an ioctl's errno and as
// a reaped URB's status.
#ifndef USB_EMULATOR_USBFS_USBFS_DIALECT_H
#define USB_EMULATOR_USBFS_USBFS_DIALECT_H

#include <linux/usbdevice_fs.h>

#include <cerrno>

#include "usb_device.h"

namespace usb_emulator {

// The transfer a USBDEVFS_CONTROL request carries, with its timeout.
ControlTransfer control_transfer_from(const usbdevfs_ctrltransfer &request);

// 0 for a completed transfer, else the errno the kernel gives: EPIPE for a
// stall, ETIMEDOUT when the device never answers, ENODEV once it is gone.
int errno_for(Outcome outcome);

// A URB to a device that is gone is refused at submit (ENODEV); any other
// outcome is queued and reported when the URB is reaped.
bool submit_fails_for(Outcome outcome);
// The status of a reaped URB: 0, or the negated errno of its outcome.
int urb_status_for(Outcome outcome);
// A URB the client discarded before it completed is reaped as unlinked.
constexpr int kDiscardedUrbStatus = -ENOENT;

}  // namespace usb_emulator

#endif
