// SPDX-License-Identifier: MIT
#include "usbfs_testbed.h"

#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace usb_emulator {

namespace {

constexpr int kMaxUsbAddress = 127;

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

// The kernel configures every device it enumerates (its first
// configuration), as sysfs' bConfigurationValue says; a device without one
// stays in the Address state.
void configure_as_enumerated(UsbDevice &device) {
    if (device.configuration_count() > 0) {
        device.set_configuration(1);
    }
}

}  // namespace

UsbfsTestbed::UsbfsTestbed(bool answer_ioctls)
    : answer_ioctls_(answer_ioctls),
      ioctls_([this](const std::string &devnode) { return find(devnode); }) {
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) {
        throw std::runtime_error("cannot create a umockdev testbed");
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);
}

UsbfsTestbed::~UsbfsTestbed() {
    g_object_unref(testbed_);
}

int UsbfsTestbed::add_bus() {
    next_devnum_.push_back(1);
    int bus = static_cast<int>(next_devnum_.size());
    add(bus, std::make_shared<RootHub>());
    return bus;
}

DeviceRef UsbfsTestbed::add_device(int bus, std::uint16_t vendor, std::uint16_t product) {
    return add(bus, std::make_shared<Decoy>(vendor, product));
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
    configure_as_enumerated(*device);
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
        umockdev_testbed_attach_ioctl(testbed_, ref.devnode.c_str(), ioctls_.handler(), &error);
        throw_on_error(error, "attach ioctl handler to " + ref.devnode);
    }
    umockdev_testbed_add_from_string(testbed_, device_record(ref, *device).c_str(), &error);
    throw_on_error(error, "add " + ref.devnode);

    std::lock_guard<std::mutex> lock(mutex_);
    devices_[ref.devnode] = NodeDevice{ref, std::move(device)};
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
        refs.push_back(devices_.at(devnode).ref);
    }
    return refs;
}

NodeDevice UsbfsTestbed::at(const DeviceRef &device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(device.devnode);
}

std::vector<ControlTransfer> UsbfsTestbed::transfers(const DeviceRef &device) const {
    return at(device).device->transfers();
}

std::uint8_t UsbfsTestbed::camera_register(const DeviceRef &camera, std::uint16_t index) const {
    auto emulated = std::dynamic_pointer_cast<Camera>(at(camera).device);
    if (emulated == nullptr) {
        throw std::invalid_argument(camera.devnode + " is not a camera");
    }
    return emulated->register_at(index);
}

void UsbfsTestbed::set_transfer_observer(TransferObserver observer) {
    ioctls_.set_transfer_observer(std::move(observer));
}

std::optional<NodeDevice> UsbfsTestbed::find(const std::string &devnode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find(devnode);
    if (found == devices_.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace usb_emulator
