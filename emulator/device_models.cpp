// SPDX-License-Identifier: MIT
#include "device_models.h"

#include <cerrno>
#include <cstdio>

namespace usb_emulator {

TransferReply StallingDevice::control(const SetupPacket &) {
    return TransferReply{EPIPE, {}};
}

std::uint8_t CameraModel::register_at(std::uint16_t index) const {
    auto written = written_registers_.find(index);
    return written != written_registers_.end() ? written->second : config_.register_value;
}

bool CameraModel::fault_applies_to_read() {
    bool first_read = reads_seen_ == 0;
    ++reads_seen_;
    return !config_.fault_first_read_only || first_read;
}

namespace {

// The errno with which a fault fails a transfer, or 0 for faults that do
// not fail it outright.
int failure_errno(CameraFault fault) {
    switch (fault) {
        case CameraFault::unplugged:
            return ENODEV;
        case CameraFault::timeout:
            return ETIMEDOUT;
        case CameraFault::stalled_read:
            return EPIPE;
        case CameraFault::none:
        case CameraFault::zero_length_read:
        case CameraFault::rejected_write:
            break;
    }
    return 0;
}

// Faults that hit every transfer, not only reads.
bool fails_whole_device(CameraFault fault) {
    return fault == CameraFault::unplugged || fault == CameraFault::timeout;
}

}  // namespace

TransferReply CameraModel::control(const SetupPacket &setup) {
    if (setup.bmRequestType == kReadRequestType && setup.bRequest == kReadRequest) {
        return read(setup);
    }
    if (fails_whole_device(config_.fault) && !config_.fault_first_read_only) {
        return TransferReply{failure_errno(config_.fault), {}};
    }
    if (setup.bmRequestType == kWriteRequestType && setup.bRequest == kWriteRequest) {
        return write(setup);
    }
    return TransferReply{EPIPE, {}};
}

TransferReply CameraModel::read(const SetupPacket &setup) {
    if (fault_applies_to_read()) {
        if (config_.fault == CameraFault::zero_length_read) {
            return TransferReply{0, {}};
        }
        if (int error = failure_errno(config_.fault); error != 0) {
            return TransferReply{error, {}};
        }
    }
    if (setup.wLength == 0) {
        return TransferReply{0, {}};
    }
    return TransferReply{0, {register_at(setup.wIndex)}};
}

// The register value travels in wValue; a write with a data stage is not
// one the camera knows.
TransferReply CameraModel::write(const SetupPacket &setup) {
    if (config_.fault == CameraFault::rejected_write || setup.wLength != 0) {
        return TransferReply{EPIPE, {}};
    }
    written_registers_[setup.wIndex] = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    return TransferReply{0, {}};
}

std::string describe(const ControlTransfer &transfer) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "bmRequestType=0x%02x bRequest=%u wValue=0x%04x wIndex=0x%04x wLength=%u",
                  transfer.setup.bmRequestType, transfer.setup.bRequest, transfer.setup.wValue,
                  transfer.setup.wIndex, transfer.setup.wLength);
    std::string line = text;
    if (transfer.timeout_ms) {
        line += " timeout=" + std::to_string(*transfer.timeout_ms);
    }
    return line;
}

const char *fault_name(CameraFault fault) {
    switch (fault) {
        case CameraFault::none:
            return "none";
        case CameraFault::stalled_read:
            return "stalled-read";
        case CameraFault::zero_length_read:
            return "zero-length-read";
        case CameraFault::timeout:
            return "timeout";
        case CameraFault::unplugged:
            return "unplugged";
        case CameraFault::rejected_write:
            return "rejected-write";
    }
    return "?";
}

}  // namespace usb_emulator
