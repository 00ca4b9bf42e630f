// SPDX-License-Identifier: MIT
// The rest of libusb0.dll's exports, so that the double offers everything the
// real DLL does. The tool calls none of these: each one fails the way
// libusb-win32 reports an error, with a negative errno (or no object).
#include <cerrno>

#include "usb_api.h"

namespace {

constexpr int kNotModelled = -ENOSYS;

}  // namespace

int usb_get_string(usb_dev_handle *, int, int, char *, size_t) {
    return kNotModelled;
}
int usb_get_string_simple(usb_dev_handle *, int, char *, size_t) {
    return kNotModelled;
}
int usb_get_descriptor_by_endpoint(usb_dev_handle *, int, unsigned char, unsigned char, void *,
                                   int) {
    return kNotModelled;
}
int usb_get_descriptor(usb_dev_handle *, unsigned char, unsigned char, void *, int) {
    return kNotModelled;
}

int usb_bulk_write(usb_dev_handle *, int, char *, int, int) {
    return kNotModelled;
}
int usb_bulk_read(usb_dev_handle *, int, char *, int, int) {
    return kNotModelled;
}
int usb_interrupt_write(usb_dev_handle *, int, char *, int, int) {
    return kNotModelled;
}
int usb_interrupt_read(usb_dev_handle *, int, char *, int, int) {
    return kNotModelled;
}
int usb_set_configuration(usb_dev_handle *, int) {
    return kNotModelled;
}
int usb_claim_interface(usb_dev_handle *, int) {
    return kNotModelled;
}
int usb_release_interface(usb_dev_handle *, int) {
    return kNotModelled;
}
int usb_set_altinterface(usb_dev_handle *, int) {
    return kNotModelled;
}
int usb_resetep(usb_dev_handle *, unsigned int) {
    return kNotModelled;
}
int usb_clear_halt(usb_dev_handle *, unsigned int) {
    return kNotModelled;
}
int usb_reset(usb_dev_handle *) {
    return kNotModelled;
}
int usb_reset_ex(usb_dev_handle *, unsigned int) {
    return kNotModelled;
}

char *usb_strerror(void) {
    static char message[] = "not modelled by the libusb0.dll test double";
    return message;
}

struct usb_device *usb_device(usb_dev_handle *) {
    return nullptr;
}

int usb_install_service_np(void) {
    return kNotModelled;
}
void CALLBACK usb_install_service_np_rundll(HWND, HINSTANCE, LPSTR, int) {}
int usb_uninstall_service_np(void) {
    return kNotModelled;
}
void CALLBACK usb_uninstall_service_np_rundll(HWND, HINSTANCE, LPSTR, int) {}
int usb_install_driver_np(const char *) {
    return kNotModelled;
}
void CALLBACK usb_install_driver_np_rundll(HWND, HINSTANCE, LPSTR, int) {}
int usb_touch_inf_file_np(const char *) {
    return kNotModelled;
}
void CALLBACK usb_touch_inf_file_np_rundll(HWND, HINSTANCE, LPSTR, int) {}
int usb_install_needs_restart_np(void) {
    return kNotModelled;
}
int usb_install_npW(HWND, HINSTANCE, LPCWSTR, int) {
    return kNotModelled;
}
int usb_install_npA(HWND, HINSTANCE, LPCSTR, int) {
    return kNotModelled;
}
void CALLBACK usb_install_np_rundll(HWND, HINSTANCE, LPSTR, int) {}

// The version the header describes; -1 for a driver that is not running.
const struct usb_version *usb_get_version(void) {
    static const struct usb_version version = {{1, 4, 0, 2}, {-1, -1, -1, -1}};
    return &version;
}

int usb_isochronous_setup_async(usb_dev_handle *, void **, unsigned char, int) {
    return kNotModelled;
}
int usb_bulk_setup_async(usb_dev_handle *, void **, unsigned char) {
    return kNotModelled;
}
int usb_interrupt_setup_async(usb_dev_handle *, void **, unsigned char) {
    return kNotModelled;
}
int usb_submit_async(void *, char *, int) {
    return kNotModelled;
}
int usb_reap_async(void *, int) {
    return kNotModelled;
}
int usb_reap_async_nocancel(void *, int) {
    return kNotModelled;
}
int usb_cancel_async(void *) {
    return kNotModelled;
}
int usb_free_async(void **) {
    return kNotModelled;
}
