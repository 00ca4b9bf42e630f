// SPDX-License-Identifier: MIT
#include "camera_probe.h"

namespace camera_probe {

bool is_target_camera(const struct usb_device &device) {
    return device.descriptor.idVendor == kTargetVendorId &&
           device.descriptor.idProduct == kTargetProductId;
}

namespace {

void announce_camera(const struct usb_device &camera, std::FILE *out) {
    std::fputs("-----> Camara TROBADA!! ", out);
    std::fprintf(out, "idVendor %04X - ", static_cast<unsigned>(camera.descriptor.idVendor));
    std::fprintf(out, "idProduct %04X", static_cast<unsigned>(camera.descriptor.idProduct));
}

}  // namespace

void walk_buses(usb_bus *first_bus, ProbeRun &run) {
    for (usb_bus *bus = first_bus; bus != nullptr; bus = bus->next) {
        for (struct usb_device *device = bus->devices; device != nullptr; device = device->next) {
            if (is_target_camera(*device)) {
                announce_camera(*device, run.out);
                exchange_registers(device, run);
            }
        }
    }
}

}  // namespace camera_probe
