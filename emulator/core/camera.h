// SPDX-License-Identifier: MIT
// The emulated camera: a file of one-byte registers behind two vendor
// requests, and the faults a test can give it.
#ifndef USB_EMULATOR_CORE_CAMERA_H
#define USB_EMULATOR_CORE_CAMERA_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera_chips.h"
#include "usb_device.h"

namespace usb_emulator {

// What a fault does to the transfer it hits.
enum class FaultAction {
    none,
    stall,        // the request is stalled
    zero_length,  // a read completes with no data byte
    no_answer,    // the request is never answered; the host times out
    unplug,       // the camera is unplugged as the request arrives
    long_read,    // a read completes with one byte more than it asked for
};

// Which vendor transfers a fault hits.
enum class FaultTarget {
    first_read,   // the first vendor read only
    second_read,  // the second vendor read only
    every_read,
    write,  // every vendor write
    every_transfer,
};

struct CameraFault {
    FaultAction action = FaultAction::none;
    FaultTarget target = FaultTarget::first_read;

    bool operator==(const CameraFault &other) const {
        return action == other.action && target == other.target;
    }
};

// A fault as the runner and the tests name it, and what it does.
struct NamedFault {
    const char *name;
    CameraFault fault;
    const char *what;
};

// Every fault with a name, "none" first: the one table both ways go through.
const std::vector<NamedFault> &named_faults();
std::optional<CameraFault> fault_named(const std::string &name);
// The fault's name; "stall at every transfer" style for one without.
std::string describe(const CameraFault &fault);

// The camera as the hardware is, whatever a program looks for: the IDs it
// gives unless its config says otherwise, and the vendor requests its
// sensor's registers answer to (the read returns the register named by
// wIndex, the write stores wValue's low byte).
constexpr std::uint16_t kCameraVendorId = 0x05A9;
constexpr std::uint16_t kCameraProductId = 0x2800;
constexpr std::uint8_t kSensorReadRequest = 3;
constexpr std::uint8_t kSensorWriteRequest = 2;

struct CameraConfig {
    // What every register holds before the first write.
    std::uint8_t register_value = 0x00;
    CameraFault fault;
    DescriptorLie descriptor_lie = DescriptorLie::none;
    // The device descriptor's IDs: the tests give their own, so that the
    // camera they plug is the one they expect, whatever the tool looks for.
    std::uint16_t vendor_id = kCameraVendorId;
    std::uint16_t product_id = kCameraProductId;
    // False holds the fault back until arm_fault(): beside a kernel driver
    // that talks to the camera first, a fault then hits the transfers of
    // the program run after the driver's probe, counted from the arming.
    bool fault_armed = true;
};

// Vendor read (bmRequestType 0xC0, the read request) returns the register
// named by wIndex; vendor write (0x40, the write request, no data stage)
// stores the low byte of wValue in it. Both reach the I2C slave the bridge
// has selected, the sensor unless told otherwise (camera_chips.h); the
// bridge's own requests reach its registers. Anything else is stalled.
class Camera : public UsbDevice {
  public:
    // What a long read sends after the register's byte.
    static constexpr std::uint8_t kLongReadExtraByte = 0xEE;
    static constexpr std::uint16_t kVendorId = kCameraVendorId;
    static constexpr std::uint16_t kProductId = kCameraProductId;

    explicit Camera(const CameraConfig &config = {});
    // The sensor's register, whichever I2C slave the bridge has selected.
    std::uint8_t register_at(std::uint16_t index) const;
    std::uint8_t bridge_register_at(std::uint16_t index) const;
    // Lets a fault held back by CameraConfig::fault_armed hit from now on.
    void arm_fault();

  protected:
    Answer vendor_request(const SetupPacket &setup) override;

  private:
    bool fault_hits(bool is_read);
    std::optional<Answer> fault_answer() const;
    std::uint8_t register_locked(std::uint16_t index) const;
    Answer read(const SetupPacket &setup, bool long_read) const;
    Answer write(const SetupPacket &setup);

    const CameraConfig config_;
    CameraChips chips_;
    bool fault_armed_;
    int reads_seen_ = 0;
};

}  // namespace usb_emulator

#endif
