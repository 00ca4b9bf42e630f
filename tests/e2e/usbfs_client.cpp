// SPDX-License-Identifier: MIT
// A raw usbfs client: opens one device node and runs the ioctls named on
// its command line, in order, printing one line per step, so that tests can
// see what usbfs answers where no libusb looks.
// Usage: usbfs-client NODE STEP...
//   read INDEX     USBDEVFS_CONTROL: a one-byte vendor read of register INDEX
//   submit INDEX   USBDEVFS_SUBMITURB: the same read as a control URB
//   get-configuration  USBDEVFS_CONTROL: GET_CONFIGURATION on endpoint 0
//   set-interface ALT  USBDEVFS_CONTROL: SET_INTERFACE of interface 0 to ALT
//   bulk EP        USBDEVFS_BULK: a read of up to 512 bytes from endpoint EP
//   submit-bulk EP, submit-interrupt EP
//                  USBDEVFS_SUBMITURB: the same read as a bulk or interrupt URB
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

// How long the steps other than the camera's own read allow a transfer;
// the emulation answers at once.
constexpr unsigned kStepTimeoutMs = 1000;
constexpr unsigned char kStandardFromDevice = 0x80;
constexpr unsigned char kStandardToInterface = 0x01;
constexpr unsigned char kGetConfiguration = 8;
constexpr unsigned char kSetInterface = 11;
constexpr std::size_t kSetupSize = 8;

// A control URB's buffer: setup packet, then one byte. A data URB reads
// into a buffer of one high-speed bulk packet.
using UrbBuffer = std::array<unsigned char, kSetupSize + 1>;
constexpr std::size_t kBulkPacketSize = 512;
using DataBuffer = std::array<unsigned char, kBulkPacketSize>;

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

// Standard requests as a raw control transfer, which usbfs passes on to
// the device.
void get_configuration(int fd) {
    unsigned char configuration = 0xFF;
    usbdevfs_ctrltransfer request{};
    request.bRequestType = kStandardFromDevice;
    request.bRequest = kGetConfiguration;
    request.wLength = 1;
    request.timeout = kStepTimeoutMs;
    request.data = &configuration;
    int result = ::ioctl(fd, USBDEVFS_CONTROL, &request);
    print_result("get-configuration", result);
    if (result > 0) {
        std::printf("get-configuration: data=%02x\n", configuration);
    }
}

void set_interface(int fd, unsigned alternate) {
    usbdevfs_ctrltransfer request{};
    request.bRequestType = kStandardToInterface;
    request.bRequest = kSetInterface;
    request.wValue = static_cast<std::uint16_t>(alternate);
    request.wIndex = 0;
    request.timeout = kStepTimeoutMs;
    print_result("set-interface", ::ioctl(fd, USBDEVFS_CONTROL, &request));
}

void bulk_read(int fd, unsigned endpoint) {
    static DataBuffer buffer;
    usbdevfs_bulktransfer request{};
    request.ep = endpoint;
    request.len = static_cast<unsigned>(buffer.size());
    request.timeout = kStepTimeoutMs;
    request.data = buffer.data();
    print_result("bulk", ::ioctl(fd, USBDEVFS_BULK, &request));
}

void submit_data(int fd, unsigned char type, unsigned endpoint, std::deque<usbdevfs_urb> &urbs,
                 std::deque<DataBuffer> &buffers) {
    usbdevfs_urb &urb = urbs.emplace_back();
    DataBuffer &buffer = buffers.emplace_back();
    urb.type = type;
    urb.endpoint = static_cast<unsigned char>(endpoint);
    urb.buffer = buffer.data();
    urb.buffer_length = static_cast<int>(buffer.size());
    const char *step = type == USBDEVFS_URB_TYPE_BULK ? "submit-bulk" : "submit-interrupt";
    print_result(step, ::ioctl(fd, USBDEVFS_SUBMITURB, &urb));
}

// A control URB's data byte follows its setup packet; a data URB's is not shown.
void reap(int fd) {
    usbdevfs_urb *reaped = nullptr;
    int result = ::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped);
    print_result("reap", result);
    if (result != 0 || reaped == nullptr) {
        return;
    }
    std::printf("reap: status=%d actual_length=%d", reaped->status, reaped->actual_length);
    if (reaped->type == USBDEVFS_URB_TYPE_CONTROL) {
        const auto *buffer = static_cast<const unsigned char *>(reaped->buffer);
        std::printf(" data=%02x", buffer[kSetupSize]);
    }
    std::printf("\n");
}

// What the steps submitted; the kernel (here, the emulator) writes into
// these until the process ends.
struct Submitted {
    std::deque<usbdevfs_urb> urbs;
    std::deque<UrbBuffer> control_buffers;
    std::deque<DataBuffer> data_buffers;
};

// A step that takes a number (a register index or an endpoint address).
bool run_numbered_step(int fd, const std::string &step, unsigned number, Submitted &submitted) {
    if (step == "read") {
        control_read(fd, number);
    } else if (step == "submit") {
        submit(fd, number, submitted.urbs, submitted.control_buffers);
    } else if (step == "set-interface") {
        set_interface(fd, number);
    } else if (step == "bulk") {
        bulk_read(fd, number);
    } else if (step == "submit-bulk") {
        submit_data(fd, USBDEVFS_URB_TYPE_BULK, number, submitted.urbs, submitted.data_buffers);
    } else if (step == "submit-interrupt") {
        submit_data(fd, USBDEVFS_URB_TYPE_INTERRUPT, number, submitted.urbs,
                    submitted.data_buffers);
    } else {
        return false;
    }
    return true;
}

bool run_plain_step(int fd, const std::string &step, Submitted &submitted) {
    if (step == "reap") {
        reap(fd);
    } else if (step == "get-configuration") {
        get_configuration(fd);
    } else if (step == "reap-null") {
        print_result("reap-null", ::ioctl(fd, USBDEVFS_REAPURBNDELAY, nullptr));
    } else if (step == "discard" && !submitted.urbs.empty()) {
        print_result("discard", ::ioctl(fd, USBDEVFS_DISCARDURB, &submitted.urbs.back()));
    } else {
        return false;
    }
    return true;
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
    Submitted submitted;
    for (int i = 2; i < argc; ++i) {
        std::string step = argv[i];
        bool done = run_plain_step(fd, step, submitted);
        if (!done && i + 1 < argc) {
            auto number = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 0));
            done = run_numbered_step(fd, step, number, submitted);
            i += done ? 1 : 0;
        }
        if (!done) {
            std::fprintf(stderr, "usbfs-client: bad step %s\n", step.c_str());
            ::close(fd);
            return 2;
        }
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}
