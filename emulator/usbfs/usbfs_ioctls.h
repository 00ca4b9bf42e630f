// SPDX-License-Identifier: MIT
// The usbfs ioctls of every emulated device node, answered in user space:
// the synchronous control and bulk ioctls of libusb 0.1.12, and the URB
// queue (submit, reap, discard) that libusb-1.0 uses.
#ifndef USB_EMULATOR_USBFS_USBFS_IOCTLS_H
#define USB_EMULATOR_USBFS_USBFS_IOCTLS_H

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "usb_device.h"
#include "usbfs_node.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace usb_emulator {

// The device behind a node.
struct NodeDevice {
    DeviceRef ref;
    std::shared_ptr<UsbDevice> device;
};

class UsbfsIoctls {
  public:
    // Finds the device behind a node path; nothing for a node not emulated.
    using Lookup = std::function<std::optional<NodeDevice>(const std::string &devnode)>;
    // Called from umockdev's worker thread for every control transfer,
    // before the device answers it.
    using TransferObserver = std::function<void(const DeviceRef &, const ControlTransfer &)>;

    explicit UsbfsIoctls(Lookup lookup);
    ~UsbfsIoctls();
    UsbfsIoctls(const UsbfsIoctls &) = delete;
    UsbfsIoctls &operator=(const UsbfsIoctls &) = delete;

    // The handler to attach to each device node.
    UMockdevIoctlBase *handler() const { return handler_; }
    void set_transfer_observer(TransferObserver observer);

  private:
    struct Urb;

    static int handle_ioctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    bool dispatch(UMockdevIoctlClient *client);
    void control_ioctl(const NodeDevice &node, UMockdevIoctlClient *client);
    void bulk_ioctl(const NodeDevice &node, UMockdevIoctlClient *client);
    void submit_urb(const NodeDevice &node, UMockdevIoctlClient *client);
    void reap_urb(const NodeDevice &node, UMockdevIoctlClient *client);
    void discard_urb(const NodeDevice &node, UMockdevIoctlClient *client);
    Answer play(const NodeDevice &node, const ControlTransfer &transfer);

    const Lookup lookup_;
    UMockdevIoctlBase *handler_ = nullptr;

    std::mutex mutex_;  // guards urbs_ and observer_ against the worker thread
    // URBs submitted and not yet reaped, per device node.
    std::map<std::string, std::list<Urb>> urbs_;
    TransferObserver observer_;
};

}  // namespace usb_emulator

#endif
