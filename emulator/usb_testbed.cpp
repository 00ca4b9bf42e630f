// SPDX-License-Identifier: MIT
#include "usb_testbed.h"

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <stdexcept>

namespace usb_emulator {

namespace {

struct IoctlDataUnref {
    void operator()(UMockdevIoctlData *data) const {
        if (data != nullptr) {
            umockdev_ioctl_data_unref(data);
        }
    }
};
using IoctlDataPtr = std::unique_ptr<UMockdevIoctlData, IoctlDataUnref>;

constexpr int kMaxUsbAddress = 127;

void throw_on_error(GError *error, const std::string &what) {
    if (error != nullptr) {
        std::string message = what + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
}

void put_le16(std::vector<std::uint8_t> &bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

// Device descriptor followed by one configuration with one interface and
// one endpoint (a hub's interrupt IN, or a bulk IN for the others): what
// usbfs returns when the device node is read, and what sysfs shows as
// "descriptors".
std::vector<std::uint8_t> descriptors(std::uint16_t vendor, std::uint16_t product,
                                      std::uint8_t device_class) {
    bool hub = device_class == 0x09;
    std::vector<std::uint8_t> bytes = {18, 0x01};
    put_le16(bytes, 0x0200);  // bcdUSB
    bytes.insert(bytes.end(), {device_class, 0, 0, 64});
    put_le16(bytes, vendor);
    put_le16(bytes, product);
    put_le16(bytes, 0x0100);  // bcdDevice
    bytes.insert(bytes.end(), {0, 0, 0, 1});
    bytes.insert(bytes.end(), {9, 0x02});
    put_le16(bytes, 9 + 9 + 7);  // wTotalLength: configuration, interface, endpoint
    bytes.insert(bytes.end(), {1, 1, 0, 0x80, 50});
    std::uint8_t interface_class = hub ? 0x09 : 0xFF;
    bytes.insert(bytes.end(), {9, 0x04, 0, 0, 1, interface_class, 0, 0, 0});
    bytes.insert(bytes.end(), {7, 0x05, 0x81, static_cast<std::uint8_t>(hub ? 0x03 : 0x02)});
    put_le16(bytes, hub ? 4 : 512);  // wMaxPacketSize
    bytes.push_back(hub ? 12 : 0);   // bInterval
    return bytes;
}

std::string hex(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

template <typename... Args>
std::string printf_string(const char *format, Args... args) {
    char text[64];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// A description in umockdev's record format: the kernel's view of one USB
// device, as libusb 0.1 (device node) and libusb 1.0 (sysfs) read it.
std::string device_record(const DeviceRef &device, std::uint8_t device_class) {
    std::string sysfs_path = device.devnum == 1 ? printf_string("/devices/usb%d", device.bus)
                                                : printf_string("/devices/usb%d/%d-%d", device.bus,
                                                                device.bus, device.devnum - 1);
    std::string bus = printf_string("%03d", device.bus);
    std::string devnum = printf_string("%03d", device.devnum);
    std::string raw = hex(descriptors(device.vendor, device.product, device_class));
    std::string record;
    record += "P: " + sysfs_path + "\n";
    record += "N: " + device.devnode.substr(5) + "=" + raw + "\n";
    record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    record += "E: BUSNUM=" + bus + "\nE: DEVNUM=" + devnum + "\n";
    record += "E: DEVNAME=" + device.devnode + "\n";
    record += "A: busnum=" + std::to_string(device.bus) + "\\n\n";
    record += "A: devnum=" + std::to_string(device.devnum) + "\\n\n";
    record +=
        printf_string("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", device.vendor, device.product);
    record += "A: speed=480\\n\nA: bConfigurationValue=1\\n\n";
    record += "H: descriptors=" + raw + "\n";
    return record;
}

SetupPacket parse_setup(const std::uint8_t *bytes) {
    SetupPacket setup;
    setup.bmRequestType = bytes[0];
    setup.bRequest = bytes[1];
    setup.wValue = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
    setup.wIndex = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
    setup.wLength = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
    return setup;
}

template <typename T>
void update_field(UMockdevIoctlData *data, std::size_t offset, T value) {
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8 *>(&value),
                               static_cast<gint>(sizeof value));
}

constexpr std::size_t kSetupPacketSize = 8;

}  // namespace

// A control URB submitted and not yet reaped. The device's answer is kept
// here and written into the client's URB only when it is reaped.
struct UsbTestbed::Urb {
    IoctlDataPtr data;
    TransferReply reply;
    bool completed = false;  // false while a timed-out transfer waits for its discard
};

struct UsbTestbed::EmulatedDevice {
    DeviceRef ref;
    std::unique_ptr<DeviceModel> model;
    CameraModel *camera = nullptr;
    std::vector<ControlTransfer> transfers;
    std::deque<Urb> urbs;
};

UsbTestbed::UsbTestbed(bool answer_ioctls) : answer_ioctls_(answer_ioctls) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    if (testbed_ == nullptr || handler_ == nullptr) {
        throw std::runtime_error("cannot create a umockdev testbed");
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbTestbed::handle_ioctl), this);
}

UsbTestbed::~UsbTestbed() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
    g_object_unref(testbed_);
}

int UsbTestbed::add_bus() {
    next_devnum_.push_back(1);
    int bus = static_cast<int>(next_devnum_.size());
    add(bus, 0x1d6b, 0x0002, 0x09, std::make_unique<StallingDevice>(), nullptr);
    return bus;
}

DeviceRef UsbTestbed::add_device(int bus, std::uint16_t vendor, std::uint16_t product) {
    return add(bus, vendor, product, 0x00, std::make_unique<StallingDevice>(), nullptr);
}

DeviceRef UsbTestbed::add_camera(int bus, const CameraConfig &config) {
    auto model = std::make_unique<CameraModel>(config);
    CameraModel *camera = model.get();
    return add(bus, 0x05A9, 0x2800, 0x00, std::move(model), camera);
}

DeviceRef UsbTestbed::add(int bus, std::uint16_t vendor, std::uint16_t product,
                          std::uint8_t device_class, std::unique_ptr<DeviceModel> model,
                          CameraModel *camera) {
    if (bus < 1 || bus > static_cast<int>(next_devnum_.size())) {
        throw std::invalid_argument("no bus " + std::to_string(bus));
    }
    if (next_devnum_[bus - 1] > kMaxUsbAddress) {
        throw std::length_error("bus " + std::to_string(bus) + " has no free USB address");
    }
    DeviceRef ref;
    ref.bus = bus;
    ref.devnum = next_devnum_[bus - 1]++;
    ref.vendor = vendor;
    ref.product = product;
    ref.devnode = printf_string("/dev/bus/usb/%03d/%03d", bus, ref.devnum);

    // The ioctl socket must exist before the node does, so that no client
    // opens the node without it.
    GError *error = nullptr;
    if (answer_ioctls_) {
        umockdev_testbed_attach_ioctl(testbed_, ref.devnode.c_str(), handler_, &error);
        throw_on_error(error, "attach ioctl handler to " + ref.devnode);
    }
    umockdev_testbed_add_from_string(testbed_, device_record(ref, device_class).c_str(), &error);
    throw_on_error(error, "add " + ref.devnode);

    auto device = std::make_unique<EmulatedDevice>();
    device->ref = ref;
    device->model = std::move(model);
    device->camera = camera;
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[ref.devnode] = std::move(device);
    creation_order_.push_back(ref.devnode);
    return ref;
}

void UsbTestbed::hide_usb_filesystem() {
    // umockdev shows the host's /dev and /proc wherever the testbed has
    // nothing, so hide them with empty directories: libusb 0.1 takes an
    // empty directory for a missing USB filesystem.
    if (!devices_.empty()) {
        throw std::logic_error("hide_usb_filesystem() on a testbed with devices");
    }
    std::filesystem::create_directories(root_dir_ + "/dev/bus/usb");
    std::filesystem::create_directories(root_dir_ + "/proc/bus/usb");
}

void UsbTestbed::break_bus_directory(int bus) {
    std::filesystem::create_directories(root_dir_ + "/dev/bus/usb");
    std::string path = root_dir_ + printf_string("/dev/bus/usb/%03d", bus);
    std::FILE *file = std::fopen(path.c_str(), "wx");
    if (file == nullptr) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
    std::fclose(file);
}

std::vector<DeviceRef> UsbTestbed::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceRef> refs;
    for (const std::string &devnode : creation_order_) {
        refs.push_back(devices_.at(devnode)->ref);
    }
    return refs;
}

std::vector<ControlTransfer> UsbTestbed::transfers(const DeviceRef &device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(device.devnode)->transfers;
}

std::uint8_t UsbTestbed::camera_register(const DeviceRef &camera, std::uint16_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const EmulatedDevice &device = *devices_.at(camera.devnode);
    if (device.camera == nullptr) {
        throw std::invalid_argument(camera.devnode + " is not a camera");
    }
    return device.camera->register_at(index);
}

void UsbTestbed::set_transfer_observer(TransferObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

UsbTestbed::EmulatedDevice *UsbTestbed::find(const std::string &devnode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find(devnode);
    return found == devices_.end() ? nullptr : found->second.get();
}

// Records the transfer, lets the observer look, then asks the device.
TransferReply UsbTestbed::play(EmulatedDevice &device, const ControlTransfer &transfer) {
    TransferObserver observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device.transfers.push_back(transfer);
        observer = observer_;
    }
    if (observer) {
        observer(device.ref, transfer);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return device.model->control(transfer.setup);
}

int UsbTestbed::handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
    return static_cast<UsbTestbed *>(self)->dispatch(client) ? TRUE : FALSE;
}

bool UsbTestbed::dispatch(UMockdevIoctlClient *client) {
    EmulatedDevice *device = find(umockdev_ioctl_client_get_devnode(client));
    if (device == nullptr) {
        return false;
    }
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_CONTROL:
            control_ioctl(*device, client);
            return true;
        case USBDEVFS_SUBMITURB:
            submit_urb(*device, client);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap_urb(*device, client);
            return true;
        case USBDEVFS_DISCARDURB:
            discard_urb(*device, client);
            return true;
        case USBDEVFS_GET_CAPABILITIES: {
            IoctlDataPtr caps(umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr));
            if (caps == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return true;
            }
            update_field<std::uint32_t>(caps.get(), 0,
                                        USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                            USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                            USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_CONNECTINFO: {
            IoctlDataPtr info(
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), nullptr));
            if (info == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return true;
            }
            update_field<unsigned>(info.get(), offsetof(usbdevfs_connectinfo, devnum),
                                   static_cast<unsigned>(device->ref.devnum));
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        default:
            // Hub port queries, interface claims and the like: not emulated.
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
    }
}

// libusb 0.1: one synchronous ioctl per transfer, data pointer inside.
void UsbTestbed::control_ioctl(EmulatedDevice &device, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    IoctlDataPtr request(
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ctrltransfer), nullptr));
    if (request == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_ctrltransfer ctrl{};
    std::memcpy(&ctrl, request->data, sizeof ctrl);
    ControlTransfer transfer{
        SetupPacket{ctrl.bRequestType, ctrl.bRequest, ctrl.wValue, ctrl.wIndex, ctrl.wLength},
        ctrl.timeout};
    TransferReply reply = play(device, transfer);
    if (reply.error != 0) {
        umockdev_ioctl_client_complete(client, -1, reply.error);
        return;
    }
    std::size_t delivered = 0;
    if (transfer.setup.is_device_to_host() && ctrl.wLength > 0) {
        delivered = std::min<std::size_t>(reply.data.size(), ctrl.wLength);
        IoctlDataPtr buffer(umockdev_ioctl_data_resolve(
            request.get(), offsetof(usbdevfs_ctrltransfer, data), ctrl.wLength, nullptr));
        if (buffer == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        if (delivered > 0) {
            umockdev_ioctl_data_update(buffer.get(), 0, reply.data.data(),
                                       static_cast<gint>(delivered));
        }
    }
    umockdev_ioctl_client_complete(client, static_cast<glong>(delivered), 0);
}

// libusb 1.0: the transfer is a control URB whose buffer starts with the
// setup packet; it completes later, when the client reaps it.
void UsbTestbed::submit_urb(EmulatedDevice &device, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    IoctlDataPtr urb_data(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    if (urb_data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb urb{};
    std::memcpy(&urb, urb_data->data, sizeof urb);
    if (urb.type != USBDEVFS_URB_TYPE_CONTROL || urb.endpoint != 0 ||
        urb.buffer_length < static_cast<int>(kSetupPacketSize)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    IoctlDataPtr buffer(umockdev_ioctl_data_resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer),
                                                    urb.buffer_length, nullptr));
    if (buffer == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    ControlTransfer transfer{parse_setup(buffer->data), std::nullopt};
    TransferReply reply = play(device, transfer);
    if (reply.error == ENODEV) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    // The data stage goes into the buffer now, as the kernel would write it
    // before the URB can be reaped; status and length follow at reap time.
    std::size_t room = static_cast<std::size_t>(urb.buffer_length) - kSetupPacketSize;
    if (reply.data.size() > room) {
        reply.data.resize(room);
    }
    if (transfer.setup.is_device_to_host() && !reply.data.empty()) {
        umockdev_ioctl_data_update(buffer.get(), kSetupPacketSize, reply.data.data(),
                                   static_cast<gint>(reply.data.size()));
    }
    bool completed = reply.error != ETIMEDOUT;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device.urbs.push_back(Urb{std::move(urb_data), std::move(reply), completed});
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbTestbed::reap_urb(EmulatedDevice &device, UMockdevIoctlClient *client) {
    Urb reaped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto done = std::find_if(device.urbs.begin(), device.urbs.end(),
                                 [](const Urb &urb) { return urb.completed; });
        if (done != device.urbs.end()) {
            reaped = std::move(*done);
            device.urbs.erase(done);
        }
    }
    if (reaped.data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData *urb_data = reaped.data.get();
    update_field<int>(urb_data, offsetof(usbdevfs_urb, status), -reaped.reply.error);
    update_field<int>(urb_data, offsetof(usbdevfs_urb, actual_length),
                      static_cast<int>(reaped.reply.data.size()));

    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    IoctlDataPtr urb_pointer(umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr));
    if (urb_pointer == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(urb_pointer.get(), 0, urb_data);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// The library gave up waiting (its own timeout): the URB completes as
// cancelled and is reaped like any other.
void UsbTestbed::discard_urb(EmulatedDevice &device, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    gulong client_address = 0;
    std::memcpy(&client_address, arg->data, sizeof client_address);
    bool discarded = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Urb &urb : device.urbs) {
            if (!urb.completed && urb.data->client_addr == client_address) {
                urb.completed = true;
                urb.reply = TransferReply{ENOENT, {}};
                discarded = true;
                break;
            }
        }
    }
    if (discarded) {
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
}

}  // namespace usb_emulator
