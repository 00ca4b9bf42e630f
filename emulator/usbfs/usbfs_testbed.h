// SPDX-License-Identifier: MIT
// The usbfs transport: a umockdev testbed populated with USB buses and
// emulated devices that programs on the real libusb (0.1 or 1.0) see as
// hardware: sysfs attributes and device nodes with descriptors, whose
// ioctls UsbfsIoctls answers; and the faults of the file system itself.
#ifndef USB_EMULATOR_USBFS_USBFS_TESTBED_H
#define USB_EMULATOR_USBFS_USBFS_TESTBED_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera.h"
#include "usb_device.h"
#include "usbfs_ioctls.h"
#include "usbfs_node.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usb_emulator {

class UsbfsTestbed {
  public:
    using TransferObserver = UsbfsIoctls::TransferObserver;

    // With `answer_ioctls` false the devices are static: sysfs and device
    // nodes only, with no process behind their ioctls (they fail ENOTTY).
    explicit UsbfsTestbed(bool answer_ioctls = true);
    ~UsbfsTestbed();
    UsbfsTestbed(const UsbfsTestbed &) = delete;
    UsbfsTestbed &operator=(const UsbfsTestbed &) = delete;

    // Adds a bus with its root hub; returns the bus number, from 1.
    int add_bus();
    DeviceRef add(int bus, std::shared_ptr<UsbDevice> device);
    // A device that knows no vendor request.
    DeviceRef add_device(int bus, std::uint16_t vendor, std::uint16_t product);
    DeviceRef add_camera(int bus, const CameraConfig &config = {});

    // Makes the library find no USB filesystem at all.
    void hide_usb_filesystem();
    // Lists bus `bus` in /dev/bus/usb without a directory the library can open.
    void break_bus_directory(int bus);

    std::string root_dir() const { return root_dir_; }
    std::vector<DeviceRef> devices() const;
    std::vector<ControlTransfer> transfers(const DeviceRef &device) const;
    std::uint8_t camera_register(const DeviceRef &camera, std::uint16_t index) const;
    void set_transfer_observer(TransferObserver observer);

  private:
    std::optional<NodeDevice> find(const std::string &devnode) const;
    NodeDevice at(const DeviceRef &device) const;

    bool answer_ioctls_;
    UMockdevTestbed *testbed_ = nullptr;
    std::string root_dir_;
    std::vector<int> next_devnum_;  // per bus, index bus - 1

    mutable std::mutex mutex_;  // guards devices_ against the ioctls' worker thread
    std::map<std::string, NodeDevice> devices_;
    std::vector<std::string> creation_order_;
    UsbfsIoctls ioctls_;
};

}  // namespace usb_emulator

#endif
