// SPDX-License-Identifier: MIT
// In-memory stand-in for the libusb 0.1 functions the tool calls. Tests
// script buses, devices and transfer outcomes, then read back every call.
#ifndef CAMERA_PROBE_TESTS_FAKE_USB_H
#define CAMERA_PROBE_TESTS_FAKE_USB_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "usb_api.h"

namespace fake_usb {

// What one control transfer returns; `byte` lands in the caller's buffer.
struct Reply {
    int result;
    std::optional<unsigned char> byte;
};

struct FakeDevice {
    struct usb_device record {};
    bool open_fails = false;
    // Register file of an emulated camera, used once `script` is exhausted:
    // reads answer with it, writes set it.
    unsigned char register_value = 0x00;
    std::deque<Reply> script;
};

// Fields in the order the transfer's arguments come.
struct Call {
    std::string function;
    const struct usb_device *device = nullptr;
    const usb_dev_handle *handle = nullptr;
    int request_type = -1;
    int request = -1;
    int value = -1;
    int index = -1;
    bool null_buffer = false;
    int size = -1;
    int timeout = -1;
    int debug_level = -1;
};

// Resets the whole fake: no buses, scans succeed, no calls recorded.
void reset();

struct usb_bus *add_bus();
FakeDevice &add_device(struct usb_bus *bus, std::uint16_t vendor, std::uint16_t product);
FakeDevice &add_camera(struct usb_bus *bus, unsigned char register_value = 0x00);

void set_scan_results(int find_busses_result, int find_devices_result);

const std::vector<Call> &calls();
std::vector<std::string> call_names();
std::vector<Call> calls_named(const std::string &function);

// Handles opened and never closed, and closes of unknown or closed handles.
int open_handles();
int bad_closes();

}  // namespace fake_usb

#endif
