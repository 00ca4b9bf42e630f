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
    if (name == "long-read") {
        return CameraFault{FaultAction::long_read, FaultTarget::first_read};
    }
    if (name == "reject-write") {
        return CameraFault{FaultAction::stall, FaultTarget::write};
    }
    return std::nullopt;
}

std::string describe(const CameraFault &fault) {
    static const char *const kActions[] = {"none",      "stall",  "zero-length",
                                           "no-answer", "unplug", "long-read"};
    static const char *const kTargets[] = {"first read", "every read", "write", "every transfer"};
    if (fault.action == FaultAction::none) {
        return "none";
    }
    return std::string(kActions[static_cast<int>(fault.action)]) + " at " +
           kTargets[static_cast<int>(fault.target)];
}

Camera::Camera(const CameraConfig &config)
    : UsbDevice(kVendorId, kProductId, 0x00, config.descriptor_lie),
      config_(config),
      chips_(config.register_value),
      fault_armed_(config.fault_armed) {}

std::uint8_t Camera::register_at(std::uint16_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return register_locked(index);
}

std::uint8_t Camera::bridge_register_at(std::uint16_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chips_.bridge_register(index);
}

void Camera::arm_fault() {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_armed_ = true;
    reads_seen_ = 0;
}

std::uint8_t Camera::register_locked(std::uint16_t index) const {
    return chips_.sensor_register(index);
}

Answer Camera::vendor_request(const SetupPacket &setup) {
    if (std::optional<Answer> bridge = chips_.bridge_request(setup)) {
        return *bridge;
    }
    bool to_device = setup.is_vendor_to_device();
    bool is_read = to_device && setup.is_device_to_host() &&
                   setup.bRequest == camera_probe::kVendorReadRequest;
    bool is_write = to_device && !setup.is_device_to_host() &&
                    setup.bRequest == camera_probe::kVendorWriteRequest;
    if (!is_read && !is_write) {
        return Answer::stall();
    }
    bool hit = fault_hits(is_read);
    if (std::optional<Answer> faulted = hit ? fault_answer() : std::nullopt) {
        return *faulted;
    }
    if (!is_read) {
        return write(setup);
    }
    return read(setup, hit && config_.fault.action == FaultAction::long_read);
}

// Whether the fault hits this transfer; counts the reads once it is armed.
bool Camera::fault_hits(bool is_read) {
    if (!fault_armed_) {
        return false;
    }
    bool first_read = is_read && reads_seen_ == 0;
    if (is_read) {
        ++reads_seen_;
    }
    switch (config_.fault.target) {
        case FaultTarget::first_read:
            return first_read;
        case FaultTarget::every_read:
            return is_read;
        case FaultTarget::write:
            return !is_read;
        case FaultTarget::every_transfer:
            return true;
    }
    return false;
}

// The answer the fault gives in place of the camera's own, if it replaces
// it: a long read is the camera's own answer and one byte more.
std::optional<Answer> Camera::fault_answer() const {
    switch (config_.fault.action) {
        case FaultAction::none:
        case FaultAction::long_read:
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

// A long read sends more than wLength, as no device should: the bus
// decides what the host sees of it.
Answer Camera::read(const SetupPacket &setup, bool long_read) const {
    if (long_read) {
        return Answer::with({chips_.read_selected(setup.wIndex), kLongReadExtraByte});
    }
    if (setup.wLength == 0) {
        return Answer::with({});
    }
    return Answer::with({chips_.read_selected(setup.wIndex)});
}

// The value travels in wValue; a write with a data stage is not one the
// camera knows.
Answer Camera::write(const SetupPacket &setup) {
    if (setup.wLength != 0) {
        return Answer::stall();
    }
    chips_.write_selected(setup.wIndex, static_cast<std::uint8_t>(setup.wValue & 0xFF));
    return Answer::with({});
}

}  // namespace usb_emulator
