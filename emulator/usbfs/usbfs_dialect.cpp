// SPDX-License-Identifier: MIT
#include "usbfs_dialect.h"

namespace usb_emulator {

ControlTransfer control_transfer_from(const usbdevfs_ctrltransfer &request) {
    return ControlTransfer{SetupPacket{request.bRequestType, request.bRequest, request.wValue,
                                       request.wIndex, request.wLength},
                           request.timeout};
}

int errno_for(Outcome outcome) {
    switch (outcome) {
        case Outcome::data:
            return 0;
        case Outcome::stall:
            return EPIPE;
        case Outcome::no_answer:
            return ETIMEDOUT;
        case Outcome::gone:
            return ENODEV;
    }
    return EIO;
}

bool submit_fails_for(Outcome outcome) {
    return outcome == Outcome::gone;
}

int urb_status_for(Outcome outcome) {
    return -errno_for(outcome);
}

}  // namespace usb_emulator
