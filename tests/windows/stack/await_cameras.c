// SPDX-License-Identifier: MIT
// await-cameras: waits in a Wine session until libusb0.sys has started COUNT
// cameras, \\.\libusb0-0001 to COUNT; as the session's first program it
// starts Wine's services, and with them the bus driver and libusb0.sys.
//   await-cameras.exe COUNT TIMEOUT_MS
// Exits 0 when all are ready, 1 when the time is up (saying how many were).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

// libusb0.sys refuses to open a device (STATUS_INVALID_DEVICE_STATE) until
// it has started it, so a device that opens is ready for libusb0.dll.
static int camera_ready(int number) {
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\libusb0-%04d", number);
    HANDLE device = CreateFileA(name, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    CloseHandle(device);
    return 1;
}

// libusb0.dll looks for devices 0001 to 0255.
enum { kMaxCameras = 255 };

static int cameras_ready(int count) {
    int ready = 0;
    for (int number = 1; number <= count; ++number) {
        ready += camera_ready(number);
    }
    return ready;
}

int main(int argc, char **argv) {
    char *end = NULL;
    long count = argc == 3 ? strtol(argv[1], &end, 10) : -1;
    long timeout_ms = argc == 3 && *end == '\0' ? strtol(argv[2], &end, 10) : -1;
    if (count < 0 || count > kMaxCameras || timeout_ms < 0 || *end != '\0') {
        fprintf(stderr, "usage: await-cameras.exe COUNT TIMEOUT_MS\n");
        return 2;
    }
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)timeout_ms;
    int ready = 0;
    while ((ready = cameras_ready((int)count)) < count && GetTickCount64() < deadline) {
        Sleep(20);
    }
    if (ready < count) {
        fprintf(stderr, "await-cameras: %d of %ld cameras started by libusb0.sys after %ld ms\n",
                ready, count, timeout_ms);
        return 1;
    }
    return 0;
}
