// SPDX-License-Identifier: MIT
// The usbredir transport for one device: the device side ("usb host" in
// usbredir's words) of one connection to QEMU's usb-redir, which puts the
// device on the guest's USB bus. Requests arrive as usbredir packets and
// are answered from the device core; its outcomes become usbredir
// statuses, and an unplug becomes a device_disconnect.
#ifndef USB_EMULATOR_USBREDIR_USBREDIR_LINK_H
#define USB_EMULATOR_USBREDIR_USBREDIR_LINK_H

#include <cstdint>
#include <map>
#include <memory>

#include "usb_device.h"

struct usbredirparser;

namespace usb_emulator {

// Not thread-safe: one thread reads, writes and plugs.
class UsbredirLink {
  public:
    // Takes ownership of `socket_fd`, a connected stream socket.
    explicit UsbredirLink(int socket_fd);
    ~UsbredirLink();
    UsbredirLink(const UsbredirLink &) = delete;
    UsbredirLink &operator=(const UsbredirLink &) = delete;

    int fd() const { return fd_; }
    // Reads and handles what QEMU sent; false once the connection is gone.
    bool receive();
    // Sends what is queued; true while some is still waiting for room.
    bool send();
    bool has_output() const;

    // Connects `device` to the guest's bus, replacing any device there.
    // Sent once QEMU's hello has arrived.
    void plug(std::shared_ptr<UsbDevice> device);
    // Disconnects the device, if any.
    void unplug();
    // A device is connected and has not been unplugged.
    bool has_device() const { return device_ != nullptr && connected_; }

    // usbredirparser callbacks, public so the C trampolines reach them.
    void on_hello();
    void on_reset();
    // Both take the header and the data stage the parser allocated.
    void on_control_packet(std::uint64_t id, const void *header, std::uint8_t *data);
    void on_bulk_packet(std::uint64_t id, const void *header, std::uint8_t *data);
    void on_cancel(std::uint64_t id);
    void on_set_configuration(std::uint64_t id, std::uint8_t configuration);
    void on_get_configuration(std::uint64_t id);
    void on_set_alt_setting(std::uint64_t id, std::uint8_t interface, std::uint8_t alt);
    void on_get_alt_setting(std::uint64_t id, std::uint8_t interface);
    void free_packet_data(std::uint8_t *data);
    int read_bytes(std::uint8_t *data, int count);
    int write_bytes(const std::uint8_t *data, int count);

  private:
    struct Unanswered;

    void connect_device();
    void device_gone();

    int fd_;
    usbredirparser *parser_ = nullptr;
    bool peer_ready_ = false;
    bool connected_ = false;
    std::shared_ptr<UsbDevice> device_;
    // Packets the device leaves unanswered, by id, until QEMU cancels them.
    std::map<std::uint64_t, std::unique_ptr<Unanswered>> unanswered_;
};

}  // namespace usb_emulator

#endif
