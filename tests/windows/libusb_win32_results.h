// SPDX-License-Identifier: MIT
// What libusb-win32 1.4.0.2's usb_control_msg() returns to camera-probe for
// each fault of a camera, as measured on its own stack (libusb0.dll,
// libusb0.sys, Wine's bus driver with tests/windows/wine-patches) by the
// windows-stack tests. The libusb0.dll double gives the same results, so
// that the Windows scenarios on the double expect what the real stack does.
#ifndef CAMERA_PROBE_TESTS_WINDOWS_LIBUSB_WIN32_RESULTS_H
#define CAMERA_PROBE_TESTS_WINDOWS_LIBUSB_WIN32_RESULTS_H

namespace libusb_win32 {

// libusb0.dll turns every failed request it does not know better into -EIO
// (its errno numbers are Windows' CRT ones: EIO is 5 there too).
constexpr int kIoError = -5;

// The camera stalls the request: the request fails with
// USBD_STATUS_STALL_PID and STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE for
// libusb0.dll.
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

#endif
