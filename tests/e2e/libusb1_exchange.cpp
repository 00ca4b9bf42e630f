// SPDX-License-Identifier: MIT
// The camera exchange written against libusb-1.0, whose Linux backend talks
// to usbfs with URBs: proves the emulator speaks that dialect too (the one
// libusb-compat-0.1 runs on). Prints what camera-probe prints.
// Usage: libusb1-exchange [TIMEOUT_MS]
#include <libusb.h>

#include <cstdio>
#include <cstdlib>

namespace {

void print_read(int result, unsigned char byte) {
    std::printf("\nusb_control_msg() returned %d -> 0x%02x", result, byte);
}

void exchange(libusb_device *device, unsigned timeout_ms, unsigned char &byte) {
    libusb_device_handle *handle = nullptr;
    int opened = libusb_open(device, &handle);
    if (opened != 0) {
        std::printf("\nlibusb_open() returned %d", opened);
        return;
    }
    // The result is taken before the byte is printed: the read fills it.
    int result = libusb_control_transfer(handle, 0xC0, 3, 0x0000, 0x13, &byte, 1, timeout_ms);
    print_read(result, byte);
    libusb_control_transfer(handle, 0x40, 2, 0x0015, 0x13, nullptr, 0, timeout_ms);
    result = libusb_control_transfer(handle, 0xC0, 3, 0x0000, 0x13, &byte, 1, timeout_ms);
    print_read(result, byte);
    libusb_close(handle);
}

}  // namespace

int main(int argc, char **argv) {
    unsigned timeout_ms =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 5000;
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0) {
        std::printf("libusb_init() failed");
        return 1;
    }
    libusb_device **devices = nullptr;
    ssize_t count = libusb_get_device_list(context, &devices);
    if (count < 0) {
        std::printf("libusb_get_device_list() returned %zd", count);
        libusb_exit(context);
        return 1;
    }
    unsigned char byte = 0x20;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) == 0 &&
            descriptor.idVendor == 0x05A9 && descriptor.idProduct == 0x2800) {
            std::printf("-----> Camara TROBADA!! idVendor %04X - idProduct %04X",
                        descriptor.idVendor, descriptor.idProduct);
            exchange(devices[i], timeout_ms, byte);
        }
    }
    libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return 0;
}
