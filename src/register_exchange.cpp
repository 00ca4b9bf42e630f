// SPDX-License-Identifier: MIT
#include "camera_probe.h"

namespace camera_probe {

namespace {

int read_register(usb_dev_handle *handle, ProbeRun &run) {
    return usb_control_msg(handle, kVendorReadRequestType, kVendorReadRequest, 0, kRegisterIndex,
                           reinterpret_cast<char *>(&run.probe_byte), 1, kTransferTimeoutMs);
}

// The value travels in wValue; the write has no data stage.
void write_register(usb_dev_handle *handle) {
    usb_control_msg(handle, kVendorWriteRequestType, kVendorWriteRequest, kWrittenValue,
                    kRegisterIndex, nullptr, 0, kTransferTimeoutMs);
}

// A failed or empty read still prints, showing whatever the byte held.
void print_read_result(int result, const ProbeRun &run) {
    std::fprintf(run.out, "\nusb_control_msg() returned %d -> 0x%02x", result,
                 static_cast<unsigned>(run.probe_byte));
}

}  // namespace

void exchange_registers(struct usb_device *camera, ProbeRun &run) {
    usb_dev_handle *handle = usb_open(camera);
    if (handle == nullptr) {
        std::fputs("\nusb_open() failed", run.out);
        return;
    }
    print_read_result(read_register(handle, run), run);
    write_register(handle);
    print_read_result(read_register(handle, run), run);
    usb_close(handle);
}

}  // namespace camera_probe
