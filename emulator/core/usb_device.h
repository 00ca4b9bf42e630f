// SPDX-License-Identifier: MIT
// The emulated USB device, independent of how requests reach it: its
// descriptors, its answers to control transfers on endpoint 0 as
// transport-neutral outcomes, and the log of every transfer it was sent.
// Transports (usbfs under umockdev, usbredir on the wire) map the outcomes
// to what their side of the bus reports.
#ifndef USB_EMULATOR_CORE_USB_DEVICE_H
#define USB_EMULATOR_CORE_USB_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usb_emulator {

// The 8-byte setup stage of a control transfer, fields in wire order.
struct SetupPacket {
    static constexpr std::size_t kSize = 8;

    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;

    // Reads the little-endian wire form.
    static SetupPacket parse(const std::uint8_t *bytes);
    bool is_device_to_host() const { return (bmRequestType & 0x80) != 0; }
    // Standard requests (enumeration) as opposed to class or vendor ones.
    bool is_standard() const { return (bmRequestType & 0x60) == 0; }
    // A vendor request addressed to the device itself (not an interface or
    // an endpoint), either direction.
    bool is_vendor_to_device() const { return (bmRequestType & 0x7F) == 0x40; }
};

// One control transfer as the device received it. The timeout is known
// only where the transport carries it (the synchronous usbfs ioctl).
struct ControlTransfer {
    SetupPacket setup;
    std::optional<unsigned> timeout_ms;
};

std::string describe(const ControlTransfer &transfer);

// What became of a transfer, as any bus would see it.
enum class Outcome {
    data,       // completed; `data` is the IN data stage (possibly empty)
    stall,      // the device stalled the request
    no_answer,  // the device never completes it; the host times out
    gone,       // the device has been unplugged
};

struct Answer {
    Outcome outcome = Outcome::data;
    std::vector<std::uint8_t> data;

    static Answer with(std::vector<std::uint8_t> bytes) {
        return {Outcome::data, std::move(bytes)};
    }
    static Answer stall() { return {Outcome::stall, {}}; }
};

// Descriptors that break the rules, for tests of what the host side makes
// of a device that lies about itself. Each one lies about one thing.
enum class DescriptorLie {
    none,
    total_length_short,          // wTotalLength one byte short: the endpoint is cut off
    total_length_long,           // wTotalLength 64 for a configuration of 25 bytes
    total_length_tiny,           // wTotalLength 4, shorter than the configuration descriptor
    no_configurations,           // bNumConfigurations 0, and no configuration descriptor
    many_configurations,         // nine configurations, one more than Linux keeps
    missing_configuration,       // bNumConfigurations 2, one configuration descriptor
    endpoint_length_zero,        // the endpoint descriptor's bLength is 0
    short_configuration_answer,  // GET_DESCRIPTOR gives 18 of the configuration's 25 bytes
};

// The lies the runner offers by name: the enumerator's name with dashes,
// e.g. "total-length-short".
std::optional<DescriptorLie> descriptor_lie_named(const std::string &name);
std::string describe(DescriptorLie lie);

// The one data endpoint every emulated device advertises besides endpoint
// 0: a hub's status-change interrupt IN, or a camera's bulk IN stream.
struct DataEndpoint {
    std::uint8_t address = 0x81;
    std::uint8_t transfer_type = 0x02;  // bmAttributes: 2 bulk, 3 interrupt
    std::uint16_t max_packet_size = 512;
    std::uint8_t interval = 0;
};

// A high-speed device with one configuration (more where a lie says so),
// one interface and one data endpoint, no strings. Standard requests are answered here; class and
// vendor requests go to vendor_request(). Thread-safe: transports answer
// from their own threads while tests read the log.
class UsbDevice {
  public:
    static constexpr std::uint8_t kHubClass = 0x09;
    static constexpr std::uint8_t kVendorSpecificClass = 0xFF;

    UsbDevice(std::uint16_t vendor, std::uint16_t product, std::uint8_t device_class,
              DescriptorLie lie = DescriptorLie::none);
    virtual ~UsbDevice() = default;
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    std::uint16_t vendor() const { return vendor_; }
    std::uint16_t product() const { return product_; }
    std::uint8_t device_class() const { return device_class_; }
    std::uint8_t interface_class() const;
    const DataEndpoint &data_endpoint() const { return endpoint_; }
    DescriptorLie lie() const { return lie_; }

    // The 18-byte device descriptor, and each configuration descriptor with
    // its interface and endpoint, as the device holds them, lies included:
    // together what usbfs shows as the node's contents and sysfs as
    // "descriptors". Configurations are numbered from 1, indexed from 0.
    std::vector<std::uint8_t> device_descriptor() const;
    std::vector<std::uint8_t> configuration_descriptor(std::uint8_t index = 0) const;
    // The configuration descriptors the device really has, which a lie may
    // make differ from the count its device descriptor claims.
    std::uint8_t configuration_count() const;
    std::vector<std::uint8_t> descriptors() const;

    // Logs the transfer, then answers it.
    Answer control(const ControlTransfer &transfer);
    // A transfer on a data endpoint. Nothing is ever streamed, so an
    // advertised endpoint leaves it unanswered, as a device NAKs.
    Answer data_transfer(std::uint8_t endpoint_address);
    bool has_endpoint(std::uint8_t endpoint_address) const;

    // SET_CONFIGURATION, which some transports deliver out of band.
    bool set_configuration(std::uint8_t configuration);
    std::uint8_t configuration() const;
    // SET_INTERFACE, likewise: true when the device is configured and has
    // that alternate setting. Its one interface has only setting 0, so
    // nothing changes; anything else is a request error (a stall).
    bool set_interface(std::uint8_t interface, std::uint8_t alternate) const;
    // A bus reset: the device is unconfigured until the host configures it
    // again. Its other state (a camera's registers) is the device's own.
    void reset();

    // Unplugs the device: from now on every transfer finds it gone.
    void unplug();
    bool unplugged() const;

    std::vector<ControlTransfer> transfers() const;

  protected:
    // Called with mutex_ held.
    virtual Answer vendor_request(const SetupPacket &setup);

    // Guards the device's state against the transport's thread.
    mutable std::mutex mutex_;

  private:
    Answer standard_request(const SetupPacket &setup);
    Answer configuration_answer(std::uint8_t index, std::uint16_t length) const;
    // Called with mutex_ held.
    bool has_setting(std::uint16_t interface, std::uint16_t alternate) const;

    const std::uint16_t vendor_;
    const std::uint16_t product_;
    const std::uint8_t device_class_;
    const DataEndpoint endpoint_;
    const DescriptorLie lie_;

    std::uint8_t configuration_ = 0;
    bool unplugged_ = false;
    std::vector<ControlTransfer> transfers_;
};

// A bus's root hub, as Linux presents it (1d6b:0002, the Linux
// Foundation's USB 2.0 root hub): hub class, its status-change endpoint.
class RootHub : public UsbDevice {
  public:
    static constexpr std::uint16_t kVendorId = 0x1d6b;
    static constexpr std::uint16_t kProductId = 0x0002;

    RootHub() : UsbDevice(kVendorId, kProductId, kHubClass) {}
};

// A device that is not the camera, nor a hub: it knows no vendor request.
class Decoy : public UsbDevice {
  public:
    Decoy(std::uint16_t vendor, std::uint16_t product) : UsbDevice(vendor, product, 0x00) {}
};

}  // namespace usb_emulator

#endif
