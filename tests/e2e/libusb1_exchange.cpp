// SPDX-License-Identifier: MIT
// The camera exchange written against libusb-1.0, whose Linux backend talks
// to usbfs with URBs (as libusb-compat-0.1 does): prints what camera-probe
// prints, in its own words. Usage: libusb1-exchange [TIMEOUT_MS]
#include <libusb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The camera and its exchange as the client's own, not the code that
// builds the suites' expectations.
constexpr std::uint16_t kVendorId = 0x05A9;
constexpr std::uint16_t kProductId = 0x2800;
constexpr std::uint8_t kReadRequestType = 0xC0;
constexpr std::uint8_t kWriteRequestType = 0x40;
constexpr std::uint8_t kReadRequest = 3;
constexpr std::uint8_t kWriteRequest = 2;
constexpr std::uint16_t kRegister = 0x13;
constexpr std::uint16_t kWrittenValue = 0x15;
constexpr unsigned kTimeoutMs = 5000;
constexpr unsigned char kProbeBytePreset = 0x20;

// The result is taken before the byte is printed: the read fills it.
void read_register(libusb_device_handle *handle, unsigned timeout_ms, unsigned char &byte) {
    int result = libusb_control_transfer(handle, kReadRequestType, kReadRequest, 0x0000, kRegister,
                                         &byte, 1, timeout_ms);
    std::printf("\nusb_control_msg() returned %d -> 0x%02x", result, byte);
}

void exchange(libusb_device *device, unsigned timeout_ms, unsigned char &byte) {
    libusb_device_handle *handle = nullptr;
    int opened = libusb_open(device, &handle);
    if (opened != 0) {
        std::printf("\nlibusb_open() returned %d", opened);
        return;
    }
    read_register(handle, timeout_ms, byte);
    libusb_control_transfer(handle, kWriteRequestType, kWriteRequest, kWrittenValue, kRegister,
                            nullptr, 0, timeout_ms);
    read_register(handle, timeout_ms, byte);
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
            std::printf("-----> Camara TROBADA!! idVendor %04X - idProduct %04X",
                        descriptor.idVendor, descriptor.idProduct);
            exchange(devices[i], timeout_ms, byte);
        }
    }
    libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return 0;
}
