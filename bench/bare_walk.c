/* SPDX-License-Identifier: MIT */
/* The baseline for camera-probe's cost: the same libusb 0.1 calls and the
 * same walk over every device of every bus, and nothing else. */
#include <usb.h>

int main(void) {
    int cameras = 0;
    usb_set_debug(0);
    usb_init();
    if (usb_find_busses() < 0 || usb_find_devices() < 0) {
        return 255;
    }
    for (struct usb_bus *bus = usb_get_busses(); bus != NULL; bus = bus->next) {
        for (struct usb_device *device = bus->devices; device != NULL; device = device->next) {
            if (device->descriptor.idVendor == 0x05A9 && device->descriptor.idProduct == 0x2800) {
                ++cameras;
            }
        }
    }
    return cameras > 0 ? 1 : 0;
}
