// SPDX-License-Identifier: MIT
// A umockdev testbed populated with USB buses and devices that programs on
// the real libusb (0.1 or 1.0) see as hardware: sysfs attributes, device
// nodes with descriptors, and usbfs ioctls answered by device models.
#ifndef USB_EMULATOR_USB_TESTBED_H
#define USB_EMULATOR_USB_TESTBED_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_models.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace usb_emulator {

struct DeviceRef {
    int bus = 0;
    int devnum = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string devnode;  // /dev/bus/usb/BBB/DDD

    bool operator==(const DeviceRef &other) const { return devnode == other.devnode; }
};

class UsbTestbed {
  public:
    // Called from umockdev's worker thread for every control transfer,
    // before the device answers it.
    using TransferObserver = std::function<void(const DeviceRef &, const ControlTransfer &)>;

    // With `answer_ioctls` false the devices are static: sysfs and device
    // nodes only, with no process behind their ioctls (they fail ENOTTY).
    explicit UsbTestbed(bool answer_ioctls = true);
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed &) = delete;
    UsbTestbed &operator=(const UsbTestbed &) = delete;

    // Adds a bus with its root hub; returns the bus number, from 1.
    int add_bus();
    // A device that stalls every control transfer.
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
    struct Urb;
    struct EmulatedDevice;

    DeviceRef add(int bus, std::uint16_t vendor, std::uint16_t product, std::uint8_t device_class,
                  std::unique_ptr<DeviceModel> model, CameraModel *camera);
    EmulatedDevice *find(const std::string &devnode) const;

    static int handle_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    bool dispatch(UMockdevIoctlClient *client);
    void control_ioctl(EmulatedDevice &device, UMockdevIoctlClient *client);
    void submit_urb(EmulatedDevice &device, UMockdevIoctlClient *client);
    void reap_urb(EmulatedDevice &device, UMockdevIoctlClient *client);
    void discard_urb(EmulatedDevice &device, UMockdevIoctlClient *client);
    TransferReply play(EmulatedDevice &device, const ControlTransfer &transfer);

    bool answer_ioctls_;
    UMockdevTestbed *testbed_ = nullptr;
    UMockdevIoctlBase *handler_ = nullptr;
    std::string root_dir_;
    std::vector<int> next_devnum_;  // per bus, index bus - 1

    mutable std::mutex mutex_;  // guards devices_ and observer_ against the worker thread
    std::map<std::string, std::unique_ptr<EmulatedDevice>> devices_;
    std::vector<std::string> creation_order_;
    TransferObserver observer_;
};

}  // namespace usb_emulator

#endif
