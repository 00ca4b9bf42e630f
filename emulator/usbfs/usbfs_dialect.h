// SPDX-License-Identifier: MIT
// How usbfs speaks: the synchronous control ioctl's request as the device
// sees it, and the errno with which usbfs reports each outcome.
#ifndef USB_EMULATOR_USBFS_USBFS_DIALECT_H
#define USB_EMULATOR_USBFS_USBFS_DIALECT_H

#include <linux/usbdevice_fs.h>

#include "usb_device.h"

namespace usb_emulator {

// The transfer a USBDEVFS_CONTROL request carries, with its timeout.
ControlTransfer control_transfer_from(const usbdevfs_ctrltransfer &request);

// 0 for a completed transfer, else the errno the kernel gives: EPIPE for a
// stall, ETIMEDOUT when the device never answers, ENODEV once it is gone.
int errno_for(Outcome outcome);

}  // namespace usb_emulator

#endif
