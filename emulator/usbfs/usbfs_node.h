// SPDX-License-Identifier: MIT
// One emulated device as usbfs shows it: where it sits on its bus and the
// node a program opens to talk to it.
#ifndef USB_EMULATOR_USBFS_USBFS_NODE_H
#define USB_EMULATOR_USBFS_USBFS_NODE_H

#include <cstdint>
#include <string>

namespace usb_emulator {

struct DeviceRef {
    int bus = 0;
    int devnum = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string devnode;  // /dev/bus/usb/BBB/DDD

    bool operator==(const DeviceRef &other) const { return devnode == other.devnode; }
};

}  // namespace usb_emulator

#endif
