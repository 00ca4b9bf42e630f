// SPDX-License-Identifier: MIT
// A raw usbfs client: runs the ioctls named on its command line on one
// device node, printing one line per step (and one for the byte a control
// step read): what usbfs answers where no libusb looks.
// Usage: usbfs-client NODE STEP...
//   read INDEX         USBDEVFS_CONTROL: a one-byte vendor read of register INDEX
//   submit INDEX       USBDEVFS_SUBMITURB: the same read as a control URB
//   get-configuration  USBDEVFS_CONTROL: GET_CONFIGURATION on endpoint 0
//   set-interface ALT  USBDEVFS_CONTROL: SET_INTERFACE of interface 0 to ALT
//   bulk EP            USBDEVFS_BULK: a read of up to 512 bytes from endpoint EP
//   submit-bulk EP, submit-interrupt EP  the same read as a bulk or interrupt URB
//   reap               USBDEVFS_REAPURBNDELAY into a pointer of ours
//   reap-null          USBDEVFS_REAPURBNDELAY with a null argument
//   discard            USBDEVFS_DISCARDURB on the last URB submitted
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>

#include "probe_expectations.h"

namespace {

// How long the steps other than the camera's own read allow a transfer;
// the emulation answers at once.
constexpr unsigned kStepTimeoutMs = 1000;

// URBs and their buffers (a control URB's setup packet and data byte, or
// one high-speed bulk packet) stay until the process ends: the kernel
// (here, the emulator) writes into them when a URB completes.
using Buffer = std::array<unsigned char, 512>;
std::deque<usbdevfs_urb> urbs;
std::deque<Buffer> buffers;

int print_result(const char *step, int result) {
    if (result < 0) {
        std::printf("%s: -1 %s\n", step, strerrorname_np(errno));
    } else {
        std::printf("%s: %d\n", step, result);
    }
    return result;
}

void control(int fd, const char *step, const usb_ctrlrequest &setup, unsigned timeout) {
    unsigned char byte = 0;
    usbdevfs_ctrltransfer request{setup.bRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                  setup.wLength,      timeout,        &byte};
    if (print_result(step, ::ioctl(fd, USBDEVFS_CONTROL, &request)) > 0) {
        std::printf("%s: data=%02x\n", step, byte);
    }
}

// A control URB carries `setup` (in a little-endian host's order, the
// wire's) before its data; a data URB reads one packet from `endpoint`.
void submit(int fd, const char *step, unsigned char type, unsigned endpoint,
            const usb_ctrlrequest *setup = nullptr) {
    usbdevfs_urb &urb = urbs.emplace_back();
    Buffer &buffer = buffers.emplace_back();
    urb.type = type;
    urb.endpoint = static_cast<unsigned char>(endpoint);
    urb.buffer = buffer.data();
    urb.buffer_length = static_cast<int>(buffer.size());
    if (setup != nullptr) {
        std::memcpy(buffer.data(), setup, sizeof *setup);
        urb.buffer_length = static_cast<int>(sizeof *setup + setup->wLength);
    }
    print_result(step, ::ioctl(fd, USBDEVFS_SUBMITURB, &urb));
}

void bulk_read(int fd, unsigned endpoint) {
    static Buffer buffer;
    usbdevfs_bulktransfer request{endpoint, static_cast<unsigned>(buffer.size()), kStepTimeoutMs,
                                  buffer.data()};
    print_result("bulk", ::ioctl(fd, USBDEVFS_BULK, &request));
}

// A control URB's data byte follows its setup packet; a data URB's is not shown.
void reap(int fd) {
    usbdevfs_urb *reaped = nullptr;
    if (print_result("reap", ::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped)) != 0 ||
        reaped == nullptr) {
        return;
    }
    std::printf("reap: status=%d actual_length=%d", reaped->status, reaped->actual_length);
    if (reaped->type == USBDEVFS_URB_TYPE_CONTROL) {
        const auto *buffer = static_cast<const unsigned char *>(reaped->buffer);
        std::printf(" data=%02x", buffer[sizeof(usb_ctrlrequest)]);
    }
    std::printf("\n");
}

// Runs `step`, with `number` (a register index, an alternate setting or an
// endpoint) where it takes one; false for a step this client does not know.
bool run_step(int fd, const std::string &step, unsigned number) {
    usb_ctrlrequest read_setup{expected::kReadRequestType, expected::kReadRequest, 0,
                               static_cast<std::uint16_t>(number), 1};
    if (step == "read") {
        control(fd, "read", read_setup, expected::kTimeoutMs);
    } else if (step == "submit") {
        submit(fd, "submit", USBDEVFS_URB_TYPE_CONTROL, 0, &read_setup);
    } else if (step == "get-configuration") {
        control(fd, "get-configuration", {USB_DIR_IN, USB_REQ_GET_CONFIGURATION, 0, 0, 1},
                kStepTimeoutMs);
    } else if (step == "set-interface") {
        usb_ctrlrequest setup{USB_RECIP_INTERFACE, USB_REQ_SET_INTERFACE,
                              static_cast<std::uint16_t>(number), 0, 0};
        control(fd, "set-interface", setup, kStepTimeoutMs);
    } else if (step == "bulk") {
        bulk_read(fd, number);
    } else if (step == "submit-bulk" || step == "submit-interrupt") {
        submit(fd, step.c_str(),
               step == "submit-bulk" ? USBDEVFS_URB_TYPE_BULK : USBDEVFS_URB_TYPE_INTERRUPT,
               number);
    } else if (step == "reap") {
        reap(fd);
    } else if (step == "reap-null") {
        print_result("reap-null", ::ioctl(fd, USBDEVFS_REAPURBNDELAY, nullptr));
    } else if (step == "discard" && !urbs.empty()) {
        print_result("discard", ::ioctl(fd, USBDEVFS_DISCARDURB, &urbs.back()));
    } else {
        return false;
    }
    return true;
}

const std::set<std::string> kNumberedSteps = {"read", "submit",      "set-interface",
                                              "bulk", "submit-bulk", "submit-interrupt"};

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
    for (int i = 2; i < argc; ++i) {
        std::string step = argv[i];
        bool numbered = kNumberedSteps.count(step) != 0;
        if ((numbered && i + 1 == argc) ||
            !run_step(fd, step,
                      numbered ? static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0)) : 0)) {
            std::fprintf(stderr, "usbfs-client: bad step %s\n", step.c_str());
            ::close(fd);
            return 2;
        }
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}
