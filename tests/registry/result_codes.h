// SPDX-License-Identifier: MIT
// What each library returns to camera-probe for each thing that happens to
// a transfer, as the result lines show it: one table a library. A row of
// the registry names what happened; each column prints its library's number.
// Plain constants, so that the libusb0.dll double's build reads them too.
#ifndef CAMERA_PROBE_TESTS_REGISTRY_RESULT_CODES_H
#define CAMERA_PROBE_TESTS_REGISTRY_RESULT_CODES_H

#include <climits>

// What libusb-win32 1.4.0.2's usb_control_msg() returns, as measured on its
// own stack (libusb0.dll, libusb0.sys, Wine's bus driver with
// tests/windows/wine-patches) by the windows-stack tests. The libusb0.dll
// double and the fake libusb give the same, so that their scripts expect
// what the real stack does.
namespace libusb_win32 {

// libusb0.dll turns every failed request it does not know better into -EIO
// (its errno numbers are Windows' CRT ones: EIO is 5 there too).
constexpr int kIoError = -5;
// The camera stalls the request: USBD_STATUS_STALL_PID and
// STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE for libusb0.dll.
constexpr int kStalled = kIoError;
// The camera never answers: libusb0.sys cancels the request after the
// transfer's own timeout (5 s) and completes it with STATUS_TIMEOUT, which
// libusb0.dll gets as ERROR_TIMEOUT. Not -116 (its ETRANSFER_TIMEDOUT): that
// is for the errors ERROR_SEM_TIMEOUT and ERROR_OPERATION_ABORTED only.
constexpr int kTimedOut = kIoError;
// The camera is gone: STATUS_DEVICE_NOT_CONNECTED, for this request and
// every later one.
constexpr int kGone = kIoError;
// A read the camera answers with no data stage: 0 bytes, no error.
constexpr int kNoData = 0;

}  // namespace libusb_win32

namespace registry {

// Linux: the kernel's errnos, negated, as libusb 0.1.12 passes them on
// (emulated usbfs answers with the same ones).
constexpr int kStall = -32;        // EPIPE
constexpr int kTimedOut = -110;    // ETIMEDOUT
constexpr int kNoDevice = -19;     // ENODEV
constexpr int kShutDown = -108;    // ESHUTDOWN: a transfer cut by the unplug, on the wire
constexpr int kNotPermitted = -1;  // EPERM: a node opened read-only
constexpr int kOverflow = -75;     // EOVERFLOW: usbfs's babble, more answered than asked
// libusb-compat turns LIBUSB_ERROR_NO_DEVICE into ENXIO.
constexpr int kCompatNoDevice = -6;

// A result no run has measured on that library: a row that expects it
// there stops the registry.
constexpr int kUnmeasured = INT_MIN;

// One library's numbers, by what happened to the transfer; an entry a
// table leaves out is unmeasured.
struct Codes {
    int stall;                        // the camera stalls it
    int timed_out;                    // the camera never answers it
    int gone;                         // the camera was unplugged before it
    int cut_by_unplug = kUnmeasured;  // the unplug cuts it in flight (the real kernel)
    int not_permitted = kUnmeasured;  // the node is open read-only
    int overflow = kUnmeasured;       // a read answered with more than it asked for
    int no_data = 0;                  // a read answered with no data stage
    int delivered = 1;                // the one byte read
};

constexpr Codes kLibusb012Codes{kStall, kTimedOut, kNoDevice, kShutDown, kNotPermitted, kOverflow};
// libusb-compat passes on the errnos of libusb-1.0's usbfs backend, but for
// a camera gone.
constexpr Codes kCompatCodes{kStall,          kTimedOut,   kCompatNoDevice,
                             kCompatNoDevice, kUnmeasured, kOverflow};
// The libusb-1.0 client prints libusb-1.0's own codes: LIBUSB_ERROR_PIPE,
// _TIMEOUT and _NO_DEVICE.
constexpr Codes kLibusb1Codes{-9, -7, -4};
// A read with no data stage is libusb_win32::kNoData there, 0 as elsewhere.
constexpr Codes kLibusbWin32Codes{libusb_win32::kStalled, libusb_win32::kTimedOut,
                                  libusb_win32::kGone};
static_assert(kLibusbWin32Codes.no_data == libusb_win32::kNoData);

}  // namespace registry

#endif
