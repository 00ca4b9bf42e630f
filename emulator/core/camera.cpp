// SPDX-License-Identifier: MIT
#include "camera.h"

namespace usb_emulator {

const std::vector<NamedFault> &named_faults() {
    using A = FaultAction;
    using T = FaultTarget;
    static const std::vector<NamedFault> table = {
        {"none", {}, "answers every request"},
        {"stall", {A::stall, T::first_read}, "the first vendor read stalls"},
        {"stall-second-read", {A::stall, T::second_read}, "the second vendor read stalls"},
        {"stall-reads", {A::stall, T::every_read}, "every vendor read stalls"},
        {"reject-write", {A::stall, T::write}, "the write stalls"},
        {"zero-length", {A::zero_length, T::first_read}, "the first read delivers no data"},
        {"zero-length-reads", {A::zero_length, T::every_read}, "no read delivers data"},
        {"no-answer", {A::no_answer, T::first_read}, "the first read is never answered"},
        {"no-answer-at-all", {A::no_answer, T::every_transfer}, "nothing is ever answered"},
        {"unplug", {A::unplug, T::first_read}, "the camera is unplugged at the first read"},
        {"unplug-at-write", {A::unplug, T::write}, "the camera is unplugged at the write"},
        {"long-read", {A::long_read, T::first_read}, "the first read sends a byte too many"},
        {"long-reads", {A::long_read, T::every_read}, "every read sends a byte too many"},
    };
    return table;
}

std::optional<CameraFault> fault_named(const std::string &name) {
    for (const NamedFault &entry : named_faults()) {
        if (name == entry.name) {
            return entry.fault;
        }
    }
    return std::nullopt;
}

std::string describe(const CameraFault &fault) {
    for (const NamedFault &entry : named_faults()) {
        if (fault == entry.fault) {
            return entry.name;
        }
    }
    // A fault no one named, as a test may build one.
    static const char *const kActions[] = {"none",      "stall",  "zero-length",
                                           "no-answer", "unplug", "long-read"};
    static const char *const kTargets[] = {"first read", "second read", "every read", "write",
                                           "every transfer"};
    return std::string(kActions[static_cast<int>(fault.action)]) + " at " +
           kTargets[static_cast<int>(fault.target)];
}

Camera::Camera(const CameraConfig &config)
    : UsbDevice(config.vendor_id, config.product_id, 0x00, config.descriptor_lie),
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
    bool is_read = to_device && setup.is_device_to_host() && setup.bRequest == kSensorReadRequest;
    bool is_write =
        to_device && !setup.is_device_to_host() && setup.bRequest == kSensorWriteRequest;
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
    int read_number = is_read ? ++reads_seen_ : 0;
    switch (config_.fault.target) {
        case FaultTarget::first_read:
            return read_number == 1;
        case FaultTarget::second_read:
            return read_number == 2;
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
