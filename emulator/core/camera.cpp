// SPDX-License-Identifier: MIT
#include "camera.h"

namespace usb_emulator {

std::optional<CameraFault> fault_named(const std::string &name) {
    if (name == "stall") {
        return CameraFault{FaultAction::stall, FaultTarget::first_read};
    }
    if (name == "zero-length") {
        return CameraFault{FaultAction::zero_length, FaultTarget::first_read};
    }
    if (name == "no-answer") {
        return CameraFault{FaultAction::no_answer, FaultTarget::first_read};
    }
    if (name == "unplug") {
        return CameraFault{FaultAction::unplug, FaultTarget::first_read};
    }
    if (name == "reject-write") {
        return CameraFault{FaultAction::stall, FaultTarget::write};
    }
    return std::nullopt;
}

std::string describe(const CameraFault &fault) {
    static const char *const kActions[] = {"none", "stall", "zero-length", "no-answer", "unplug"};
    static const char *const kTargets[] = {"first read", "every read", "write", "every transfer"};
    if (fault.action == FaultAction::none) {
        return "none";
    }
    return std::string(kActions[static_cast<int>(fault.action)]) + " at " +
           kTargets[static_cast<int>(fault.target)];
}

Camera::Camera(const CameraConfig &config)
    : UsbDevice(kVendorId, kProductId, 0x00), config_(config) {}

std::uint8_t Camera::register_at(std::uint16_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return register_locked(index);
}

std::uint8_t Camera::register_locked(std::uint16_t index) const {
    auto written = written_registers_.find(index);
    return written != written_registers_.end() ? written->second : config_.register_value;
}

Answer Camera::vendor_request(const SetupPacket &setup) {
    bool to_device = setup.is_vendor_to_device();
    bool is_read = to_device && setup.is_device_to_host() &&
                   setup.bRequest == camera_probe::kVendorReadRequest;
    bool is_write = to_device && !setup.is_device_to_host() &&
                    setup.bRequest == camera_probe::kVendorWriteRequest;
    if (!is_read && !is_write) {
        return Answer::stall();
    }
    if (std::optional<Answer> faulted = fault_answer(is_read)) {
        return *faulted;
    }
    return is_read ? read(setup) : write(setup);
}

// The answer a fault gives in place of the camera's own, if it hits this
// transfer.
std::optional<Answer> Camera::fault_answer(bool is_read) {
    bool first_read = is_read && reads_seen_ == 0;
    if (is_read) {
        ++reads_seen_;
    }
    bool hit = false;
    switch (config_.fault.target) {
        case FaultTarget::first_read:
            hit = first_read;
            break;
        case FaultTarget::every_read:
            hit = is_read;
            break;
        case FaultTarget::write:
            hit = !is_read;
            break;
        case FaultTarget::every_transfer:
            hit = true;
            break;
    }
    if (!hit) {
        return std::nullopt;
    }
    switch (config_.fault.action) {
        case FaultAction::none:
            return std::nullopt;
        case FaultAction::stall:
            return Answer::stall();
        case FaultAction::zero_length:
            return Answer::with({});
        case FaultAction::no_answer:
            return Answer{Outcome::no_answer, {}};
        case FaultAction::unplug:
            return Answer{Outcome::gone, {}};
    }
    return std::nullopt;
}

Answer Camera::read(const SetupPacket &setup) const {
    if (setup.wLength == 0) {
        return Answer::with({});
    }
    return Answer::with({register_locked(setup.wIndex)});
}

// The value travels in wValue; a write with a data stage is not one the
// camera knows.
Answer Camera::write(const SetupPacket &setup) {
    if (setup.wLength != 0) {
        return Answer::stall();
    }
    written_registers_[setup.wIndex] = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    return Answer::with({});
}

}  // namespace usb_emulator
