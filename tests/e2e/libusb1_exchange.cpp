// SPDX-License-Identifier: MIT
// The camera exchange written against libusb-1.0, whose Linux backend talks
// to usbfs with URBs: proves the emulator speaks that dialect too (the one
// libusb-compat-0.1 runs on). Prints what camera-probe prints.
// Usage: libusb1-exchange [TIMEOUT_MS]
#include <libusb.h>

#include <cstdio>
#include <cstdlib>

#include "probe_expectations.h"

namespace {

using namespace expected;

void print_read(int result, unsigned char byte) {
    std::fputs(expected::result_line(result, expected::hex_byte(byte)).c_str(), stdout);
}

void exchange(libusb_device *device, unsigned timeout_ms, unsigned char &byte) {
    libusb_device_handle *handle = nullptr;
    int opened = libusb_open(device, &handle);
    if (opened != 0) {
        std::printf("\nlibusb_open() returned %d", opened);
        return;
    }
    // The result is taken before the byte is printed: the read fills it.
    int result = libusb_control_transfer(handle, kReadRequestType, kReadRequest, 0x0000, kRegister,
                                         &byte, 1, timeout_ms);
    print_read(result, byte);
    libusb_control_transfer(handle, kWriteRequestType, kWriteRequest, kWrittenValue, kRegister,
                            nullptr, 0, timeout_ms);
    result = libusb_control_transfer(handle, kReadRequestType, kReadRequest, 0x0000, kRegister,
                                     &byte, 1, timeout_ms);
    print_read(result, byte);
    libusb_close(handle);
}

}  // namespace

int main(int argc, char **argv) {
    unsigned timeout_ms =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : kTimeoutMs;
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
    unsigned char byte = kProbeBytePreset;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) == 0 &&
            descriptor.idVendor == kVendorId && descriptor.idProduct == kProductId) {
            std::fputs(expected::kAnnouncement.c_str(), stdout);
            exchange(devices[i], timeout_ms, byte);
        }
    }
    libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return 0;
}
