// SPDX-License-Identifier: MIT
// The emulated camera: a file of one-byte registers behind two vendor
// requests, and the faults a test can give it.
#ifndef USB_EMULATOR_CORE_CAMERA_H
#define USB_EMULATOR_CORE_CAMERA_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "camera_protocol.h"
#include "usb_device.h"

namespace usb_emulator {

// What a fault does to the transfer it hits.
enum class FaultAction {
    none,
    stall,        // the request is stalled
    zero_length,  // a read completes with no data byte
    no_answer,    // the request is never answered; the host times out
    unplug,       // the camera is unplugged as the request arrives
};

// Which vendor transfers a fault hits.
enum class FaultTarget {
    first_read,  // the first vendor read only
    every_read,
    write,  // every vendor write
    every_transfer,
};

struct CameraFault {
    FaultAction action = FaultAction::none;
    FaultTarget target = FaultTarget::first_read;
};

// The faults the runner offers by name: "stall", "zero-length",
// "no-answer" and "unplug" hit the first vendor read, "reject-write"
// stalls the write.
std::optional<CameraFault> fault_named(const std::string &name);
std::string describe(const CameraFault &fault);

struct CameraConfig {
    // What every register holds before the first write.
    std::uint8_t register_value = 0x00;
    CameraFault fault;
};

// Vendor read (bmRequestType 0xC0, the read request) returns the register
// named by wIndex; vendor write (0x40, the write request, no data stage)
// stores the low byte of wValue in it. Anything else is stalled.
class Camera : public UsbDevice {
  public:
    static constexpr std::uint16_t kVendorId = camera_probe::kTargetVendorId;
    static constexpr std::uint16_t kProductId = camera_probe::kTargetProductId;

    explicit Camera(const CameraConfig &config = {});
    std::uint8_t register_at(std::uint16_t index) const;

  protected:
    Answer vendor_request(const SetupPacket &setup) override;

  private:
    std::optional<Answer> fault_answer(bool is_read);
    std::uint8_t register_locked(std::uint16_t index) const;
    Answer read(const SetupPacket &setup) const;
    Answer write(const SetupPacket &setup);

    const CameraConfig config_;
    std::map<std::uint16_t, std::uint8_t> written_registers_;
    int reads_seen_ = 0;
};

}  // namespace usb_emulator

#endif
