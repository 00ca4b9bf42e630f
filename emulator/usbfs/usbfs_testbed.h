// SPDX-License-Identifier: MIT
// The usbfs transport: a umockdev testbed populated with USB buses and
// emulated devices that programs on the real libusb (0.1 or 1.0) see as
// hardware: sysfs attributes, device nodes with descriptors, and usbfs
// ioctls answered by the devices, in both of the dialects libusb speaks.
#ifndef USB_EMULATOR_USBFS_USBFS_TESTBED_H
#define USB_EMULATOR_USBFS_USBFS_TESTBED_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera.h"
#include "usb_device.h"

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

class UsbfsTestbed {
  public:
    // Called from umockdev's worker thread for every control transfer,
    // before the device answers it.
    using TransferObserver = std::function<void(const DeviceRef &, const ControlTransfer &)>;

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
    struct Urb;
    struct EmulatedDevice;

    EmulatedDevice *find(const std::string &devnode) const;
    const EmulatedDevice &at(const DeviceRef &device) const;

    static int handle_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    bool dispatch(UMockdevIoctlClient *client);
    void control_ioctl(EmulatedDevice &device, UMockdevIoctlClient *client);
    void bulk_ioctl(EmulatedDevice &device, UMockdevIoctlClient *client);
    void submit_urb(EmulatedDevice &device, UMockdevIoctlClient *client);
    void reap_urb(EmulatedDevice &device, UMockdevIoctlClient *client);
    void discard_urb(EmulatedDevice &device, UMockdevIoctlClient *client);
    Answer play(EmulatedDevice &device, const ControlTransfer &transfer);

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
