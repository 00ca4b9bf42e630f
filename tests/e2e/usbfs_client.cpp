// SPDX-License-Identifier: MIT
// A raw usbfs client: opens one device node and runs the ioctls named on
// its command line, in order, printing one line per step, so that tests can
// see what usbfs answers where no libusb looks.
// Usage: usbfs-client NODE STEP...
//   read INDEX     USBDEVFS_CONTROL: a one-byte vendor read of register INDEX
//   submit INDEX   USBDEVFS_SUBMITURB: the same read as a control URB
//   reap           USBDEVFS_REAPURBNDELAY into a pointer of ours
//   reap-null      USBDEVFS_REAPURBNDELAY with a null argument
//   discard        USBDEVFS_DISCARDURB on the last URB submitted
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/usbdevice_fs.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "probe_expectations.h"

namespace {

constexpr std::size_t kSetupSize = 8;

// A control URB's buffer: setup packet, then one byte.
using UrbBuffer = std::array<unsigned char, kSetupSize + 1>;

void print_result(const char *step, int result) {
    if (result < 0) {
        std::printf("%s: -1 %s\n", step, strerrorname_np(errno));
    } else {
        std::printf("%s: %d\n", step, result);
    }
}

void control_read(int fd, unsigned index) {
    unsigned char byte = 0;
    usbdevfs_ctrltransfer request{};
    request.bRequestType = expected::kReadRequestType;
    request.bRequest = expected::kReadRequest;
    request.wIndex = static_cast<std::uint16_t>(index);
    request.wLength = 1;
    request.timeout = expected::kTimeoutMs;
    request.data = &byte;
    int result = ::ioctl(fd, USBDEVFS_CONTROL, &request);
    print_result("read", result);
    if (result > 0) {
        std::printf("read: data=%02x\n", byte);
    }
}

// URBs and buffers stay where they are until the process ends: the kernel
// (here, the emulator) writes into them when they complete.
void submit(int fd, unsigned index, std::deque<usbdevfs_urb> &urbs,
            std::deque<UrbBuffer> &buffers) {
    usbdevfs_urb &urb = urbs.emplace_back();
    UrbBuffer &buffer = buffers.emplace_back();
    const unsigned char setup[kSetupSize] = {expected::kReadRequestType,
                                             expected::kReadRequest,
                                             0,
                                             0,
                                             static_cast<unsigned char>(index & 0xFF),
                                             static_cast<unsigned char>(index >> 8),
                                             1,
                                             0};
    std::memcpy(buffer.data(), setup, sizeof setup);
    urb.type = USBDEVFS_URB_TYPE_CONTROL;
    urb.endpoint = 0;
    urb.buffer = buffer.data();
    urb.buffer_length = static_cast<int>(buffer.size());
    print_result("submit", ::ioctl(fd, USBDEVFS_SUBMITURB, &urb));
}

void reap(int fd) {
    usbdevfs_urb *reaped = nullptr;
    int result = ::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped);
    print_result("reap", result);
    if (result == 0 && reaped != nullptr) {
        const auto *buffer = static_cast<const unsigned char *>(reaped->buffer);
        std::printf("reap: status=%d actual_length=%d data=%02x\n", reaped->status,
                    reaped->actual_length, buffer[kSetupSize]);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: usbfs-client NODE STEP...\n");
        return 2;
    }
    int fd = ::open(argv[1], O_RDWR);
    if (fd < 0) {
        std::printf("open: -1 %s\n", strerrorname_np(errno));
        return 1;
    }
    std::deque<usbdevfs_urb> urbs;
    std::deque<UrbBuffer> buffers;
    for (int i = 2; i < argc; ++i) {
        std::string step = argv[i];
        if ((step == "read" || step == "submit") && i + 1 < argc) {
            auto index = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
            step == "read" ? control_read(fd, index) : submit(fd, index, urbs, buffers);
        } else if (step == "reap") {
            reap(fd);
        } else if (step == "reap-null") {
            print_result("reap-null", ::ioctl(fd, USBDEVFS_REAPURBNDELAY, nullptr));
        } else if (step == "discard" && !urbs.empty()) {
            print_result("discard", ::ioctl(fd, USBDEVFS_DISCARDURB, &urbs.back()));
        } else {
            std::fprintf(stderr, "usbfs-client: bad step %s\n", step.c_str());
            ::close(fd);
            return 2;
        }
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}
