// SPDX-License-Identifier: MIT
#include "usbfs_testbed.h"

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

#include "usbfs_dialect.h"

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

// The first `size` bytes the client's ioctl argument points to. A pointer
// that cannot be followed fails the call with EFAULT, as in the kernel,
// and gives null.
IoctlDataPtr resolve_argument(UMockdevIoctlClient *client, std::size_t size) {
    IoctlDataPtr data(
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr));
    if (data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    return data;
}

void throw_on_error(GError *error, const std::string &what) {
    if (error != nullptr) {
        std::string message = what + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
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
std::string device_record(const DeviceRef &device, const UsbDevice &emulated) {
    std::string sysfs_path = device.devnum == 1 ? printf_string("/devices/usb%d", device.bus)
                                                : printf_string("/devices/usb%d/%d-%d", device.bus,
                                                                device.bus, device.devnum - 1);
    std::string bus = printf_string("%03d", device.bus);
    std::string devnum = printf_string("%03d", device.devnum);
    std::string raw = hex(emulated.descriptors());
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

template <typename T>
void update_field(UMockdevIoctlData *data, std::size_t offset, T value) {
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8 *>(&value),
                               static_cast<gint>(sizeof value));
}

}  // namespace

// A URB submitted and not yet reaped. The device's answer is kept here and
// written into the client's URB only when it is reaped.
struct UsbfsTestbed::Urb {
    IoctlDataPtr data;
    int status = 0;  // 0 or a negative errno, as usbfs reports it
    int actual_length = 0;
    bool completed = false;  // false while an unanswered transfer waits for its discard
};

struct UsbfsTestbed::EmulatedDevice {
    DeviceRef ref;
    std::shared_ptr<UsbDevice> device;
    Camera *camera = nullptr;
    std::deque<Urb> urbs;
};

UsbfsTestbed::UsbfsTestbed(bool answer_ioctls) : answer_ioctls_(answer_ioctls) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    if (testbed_ == nullptr || handler_ == nullptr) {
        throw std::runtime_error("cannot create a umockdev testbed");
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsTestbed::handle_ioctl), this);
}

UsbfsTestbed::~UsbfsTestbed() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
    g_object_unref(testbed_);
}

int UsbfsTestbed::add_bus() {
    next_devnum_.push_back(1);
    int bus = static_cast<int>(next_devnum_.size());
    add(bus, std::make_shared<Decoy>(0x1d6b, 0x0002, UsbDevice::kHubClass));
    return bus;
}

DeviceRef UsbfsTestbed::add_device(int bus, std::uint16_t vendor, std::uint16_t product) {
    return add(bus, std::make_shared<Decoy>(vendor, product, 0x00));
}

DeviceRef UsbfsTestbed::add_camera(int bus, const CameraConfig &config) {
    return add(bus, std::make_shared<Camera>(config));
}

DeviceRef UsbfsTestbed::add(int bus, std::shared_ptr<UsbDevice> device) {
    if (bus < 1 || bus > static_cast<int>(next_devnum_.size())) {
        throw std::invalid_argument("no bus " + std::to_string(bus));
    }
    if (next_devnum_[bus - 1] > kMaxUsbAddress) {
        throw std::length_error("bus " + std::to_string(bus) + " has no free USB address");
    }
    DeviceRef ref;
    ref.bus = bus;
    ref.devnum = next_devnum_[bus - 1]++;
    ref.vendor = device->vendor();
    ref.product = device->product();
    ref.devnode = printf_string("/dev/bus/usb/%03d/%03d", bus, ref.devnum);

    // The ioctl socket must exist before the node does, so that no client
    // opens the node without it.
    GError *error = nullptr;
    if (answer_ioctls_) {
        umockdev_testbed_attach_ioctl(testbed_, ref.devnode.c_str(), handler_, &error);
        throw_on_error(error, "attach ioctl handler to " + ref.devnode);
    }
    umockdev_testbed_add_from_string(testbed_, device_record(ref, *device).c_str(), &error);
    throw_on_error(error, "add " + ref.devnode);

    auto emulated = std::make_unique<EmulatedDevice>();
    emulated->ref = ref;
    emulated->camera = dynamic_cast<Camera *>(device.get());
    emulated->device = std::move(device);
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[ref.devnode] = std::move(emulated);
    creation_order_.push_back(ref.devnode);
    return ref;
}

void UsbfsTestbed::hide_usb_filesystem() {
    // umockdev shows the host's /dev and /proc wherever the testbed has
    // nothing, so hide them with empty directories: libusb 0.1 takes an
    // empty directory for a missing USB filesystem.
    if (!devices_.empty()) {
        throw std::logic_error("hide_usb_filesystem() on a testbed with devices");
    }
    std::filesystem::create_directories(root_dir_ + "/dev/bus/usb");
    std::filesystem::create_directories(root_dir_ + "/proc/bus/usb");
}

void UsbfsTestbed::break_bus_directory(int bus) {
    std::filesystem::create_directories(root_dir_ + "/dev/bus/usb");
    std::string path = root_dir_ + printf_string("/dev/bus/usb/%03d", bus);
    std::FILE *file = std::fopen(path.c_str(), "wx");
    if (file == nullptr) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
    std::fclose(file);
}

std::vector<DeviceRef> UsbfsTestbed::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceRef> refs;
    for (const std::string &devnode : creation_order_) {
        refs.push_back(devices_.at(devnode)->ref);
    }
    return refs;
}

const UsbfsTestbed::EmulatedDevice &UsbfsTestbed::at(const DeviceRef &device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return *devices_.at(device.devnode);
}

std::vector<ControlTransfer> UsbfsTestbed::transfers(const DeviceRef &device) const {
    return at(device).device->transfers();
}

std::uint8_t UsbfsTestbed::camera_register(const DeviceRef &camera, std::uint16_t index) const {
    const EmulatedDevice &device = at(camera);
    if (device.camera == nullptr) {
        throw std::invalid_argument(camera.devnode + " is not a camera");
    }
    return device.camera->register_at(index);
}

void UsbfsTestbed::set_transfer_observer(TransferObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

UsbfsTestbed::EmulatedDevice *UsbfsTestbed::find(const std::string &devnode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find(devnode);
    return found == devices_.end() ? nullptr : found->second.get();
}

// Lets the observer look, then has the device log and answer the transfer.
Answer UsbfsTestbed::play(EmulatedDevice &device, const ControlTransfer &transfer) {
    TransferObserver observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = observer_;
    }
    if (observer) {
        observer(device.ref, transfer);
    }
    return device.device->control(transfer);
}

int UsbfsTestbed::handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
    return static_cast<UsbfsTestbed *>(self)->dispatch(client) ? TRUE : FALSE;
}

bool UsbfsTestbed::dispatch(UMockdevIoctlClient *client) {
    EmulatedDevice *device = find(umockdev_ioctl_client_get_devnode(client));
    if (device == nullptr) {
        return false;
    }
    switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_CONTROL:
            control_ioctl(*device, client);
            return true;
        case USBDEVFS_BULK:
            bulk_ioctl(*device, client);
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
            IoctlDataPtr caps = resolve_argument(client, sizeof(std::uint32_t));
            if (caps == nullptr) {
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
            IoctlDataPtr info = resolve_argument(client, sizeof(usbdevfs_connectinfo));
            if (info == nullptr) {
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

// libusb 0.1: one synchronous ioctl per transfer, data pointer inside. A
// transfer the device never answers fails at once, not after its timeout:
// the timeout is logged instead, so tests see it without waiting.
void UsbfsTestbed::control_ioctl(EmulatedDevice &device, UMockdevIoctlClient *client) {
    IoctlDataPtr request = resolve_argument(client, sizeof(usbdevfs_ctrltransfer));
    if (request == nullptr) {
        return;
    }
    usbdevfs_ctrltransfer ctrl{};
    std::memcpy(&ctrl, request->data, sizeof ctrl);
    ControlTransfer transfer = control_transfer_from(ctrl);
    Answer answer = play(device, transfer);
    if (int error = errno_for(answer.outcome); error != 0) {
        umockdev_ioctl_client_complete(client, -1, error);
        return;
    }
    std::size_t delivered = 0;
    if (transfer.setup.is_device_to_host() && ctrl.wLength > 0) {
        delivered = std::min<std::size_t>(answer.data.size(), ctrl.wLength);
        IoctlDataPtr buffer(umockdev_ioctl_data_resolve(
            request.get(), offsetof(usbdevfs_ctrltransfer, data), ctrl.wLength, nullptr));
        if (buffer == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        if (delivered > 0) {
            umockdev_ioctl_data_update(buffer.get(), 0, answer.data.data(),
                                       static_cast<gint>(delivered));
        }
    }
    umockdev_ioctl_client_complete(client, static_cast<glong>(delivered), 0);
}

// A synchronous transfer on the data endpoint. Nothing is ever streamed,
// so it times out; an endpoint the descriptors do not list is refused as
// the kernel refuses it.
void UsbfsTestbed::bulk_ioctl(EmulatedDevice &device, UMockdevIoctlClient *client) {
    IoctlDataPtr request = resolve_argument(client, sizeof(usbdevfs_bulktransfer));
    if (request == nullptr) {
        return;
    }
    usbdevfs_bulktransfer bulk{};
    std::memcpy(&bulk, request->data, sizeof bulk);
    auto endpoint = static_cast<std::uint8_t>(bulk.ep);
    if (!device.device->has_endpoint(endpoint)) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    int error = errno_for(device.device->data_transfer(endpoint).outcome);
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
}

namespace {

bool is_data_urb(const usbdevfs_urb &urb) {
    return urb.type == USBDEVFS_URB_TYPE_BULK || urb.type == USBDEVFS_URB_TYPE_INTERRUPT;
}

}  // namespace

// libusb 1.0: a control URB's buffer starts with the setup packet; a URB
// completes later, when the client reaps it. The data stage goes into the
// buffer now, as the kernel would write it before the URB can be reaped;
// status and length follow at reap time.
void UsbfsTestbed::submit_urb(EmulatedDevice &device, UMockdevIoctlClient *client) {
    IoctlDataPtr urb_data = resolve_argument(client, sizeof(usbdevfs_urb));
    if (urb_data == nullptr) {
        return;
    }
    usbdevfs_urb urb{};
    std::memcpy(&urb, urb_data->data, sizeof urb);
    bool control = urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.endpoint == 0 &&
                   urb.buffer_length >= static_cast<int>(SetupPacket::kSize);
    if (is_data_urb(urb) && !device.device->has_endpoint(urb.endpoint)) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    if (!control && !is_data_urb(urb)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    IoctlDataPtr buffer(umockdev_ioctl_data_resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer),
                                                    urb.buffer_length, nullptr));
    if (buffer == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    Answer answer;
    if (control) {
        ControlTransfer transfer{SetupPacket::parse(buffer->data), std::nullopt};
        answer = play(device, transfer);
        std::size_t room = static_cast<std::size_t>(urb.buffer_length) - SetupPacket::kSize;
        answer.data.resize(std::min(answer.data.size(), room));
        if (transfer.setup.is_device_to_host() && !answer.data.empty()) {
            umockdev_ioctl_data_update(buffer.get(), SetupPacket::kSize, answer.data.data(),
                                       static_cast<gint>(answer.data.size()));
        }
    } else {
        answer = device.device->data_transfer(urb.endpoint);
    }
    if (answer.outcome == Outcome::gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    Urb pending{std::move(urb_data), -errno_for(answer.outcome),
                static_cast<int>(answer.data.size()), answer.outcome != Outcome::no_answer};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device.urbs.push_back(std::move(pending));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsTestbed::reap_urb(EmulatedDevice &device, UMockdevIoctlClient *client) {
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
    update_field<int>(urb_data, offsetof(usbdevfs_urb, status), reaped.status);
    update_field<int>(urb_data, offsetof(usbdevfs_urb, actual_length), reaped.actual_length);

    IoctlDataPtr urb_pointer = resolve_argument(client, sizeof(void *));
    if (urb_pointer == nullptr) {
        return;
    }
    umockdev_ioctl_data_set_ptr(urb_pointer.get(), 0, urb_data);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// The library gave up waiting (its own timeout): the URB completes as
// unlinked and is reaped like any other.
void UsbfsTestbed::discard_urb(EmulatedDevice &device, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    gulong client_address = 0;
    std::memcpy(&client_address, arg->data, sizeof client_address);
    bool discarded = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Urb &urb : device.urbs) {
            if (!urb.completed && urb.data->client_addr == client_address) {
                urb.completed = true;
                urb.status = -ENOENT;
                urb.actual_length = 0;
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
