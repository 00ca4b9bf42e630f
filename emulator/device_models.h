// SPDX-License-Identifier: MIT
// What an emulated USB device answers to control transfers on endpoint 0,
// independent of how the request reached it (ioctl or URB).
#ifndef USB_EMULATOR_DEVICE_MODELS_H
#define USB_EMULATOR_DEVICE_MODELS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace usb_emulator {

struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;

    bool is_device_to_host() const { return (bmRequestType & 0x80) != 0; }
};

// One control transfer as the device saw it. Only the synchronous ioctl
// carries a timeout; with URBs the library keeps the timeout to itself.
struct ControlTransfer {
    SetupPacket setup;
    std::optional<unsigned> timeout_ms;
};

// The device's answer: an errno (EPIPE for a stall, ETIMEDOUT for a
// transfer that never completes, ENODEV once unplugged) or success with
// the data stage it delivers.
struct TransferReply {
    int error = 0;
    std::vector<std::uint8_t> data;
};

enum class CameraFault {
    none,
    stalled_read,      // vendor reads stall (EPIPE)
    zero_length_read,  // vendor reads succeed with no data byte
    timeout,           // every transfer times out
    unplugged,         // every transfer fails with ENODEV
    rejected_write,    // vendor writes stall; reads still work
};

struct CameraConfig {
    // What every register holds before the first write.
    std::uint8_t register_value = 0x00;
    CameraFault fault = CameraFault::none;
    // Limit the fault to the first vendor read of the device.
    bool fault_first_read_only = false;
};

class DeviceModel {
  public:
    virtual ~DeviceModel() = default;
    virtual TransferReply control(const SetupPacket &setup) = 0;
};

// Any device that is not the camera: it knows none of the camera's vendor
// requests, so it stalls them.
class StallingDevice : public DeviceModel {
  public:
    TransferReply control(const SetupPacket &setup) override;
};

// The camera: a file of one-byte registers. Vendor read 3 returns the
// register named by wIndex; vendor write 2 stores wValue into it.
class CameraModel : public DeviceModel {
  public:
    static constexpr std::uint8_t kReadRequestType = 0xC0;
    static constexpr std::uint8_t kWriteRequestType = 0x40;
    static constexpr std::uint8_t kReadRequest = 3;
    static constexpr std::uint8_t kWriteRequest = 2;

    explicit CameraModel(const CameraConfig &config) : config_(config) {}
    TransferReply control(const SetupPacket &setup) override;
    std::uint8_t register_at(std::uint16_t index) const;

  private:
    bool fault_applies_to_read();
    TransferReply read(const SetupPacket &setup);
    TransferReply write(const SetupPacket &setup);

    CameraConfig config_;
    std::map<std::uint16_t, std::uint8_t> written_registers_;
    int reads_seen_ = 0;
};

std::string describe(const ControlTransfer &transfer);
const char *fault_name(CameraFault fault);

}  // namespace usb_emulator

#endif
