// SPDX-License-Identifier: MIT
#include "usbredir_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <usbredirparser.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace usb_emulator {

namespace {

constexpr std::uint8_t kControlEndpointOut = 0x00;
constexpr std::uint8_t kControlEndpointIn = 0x80;

UsbredirLink &link_of(void *priv) {
    return *static_cast<UsbredirLink *>(priv);
}

// usbredir addresses endpoints by index: OUT 0..15, IN 16..31.
int endpoint_index(std::uint8_t address) {
    return ((address & 0x80) >> 3) | (address & 0x0F);
}

std::uint8_t status_for(Outcome outcome) {
    switch (outcome) {
        case Outcome::data:
            return usb_redir_success;
        case Outcome::stall:
            return usb_redir_stall;
        case Outcome::no_answer:
        case Outcome::gone:
            break;
    }
    return usb_redir_ioerror;
}

usb_redir_interface_info_header interface_info_of(const UsbDevice &device) {
    usb_redir_interface_info_header info{};
    info.interface_count = 1;
    info.interface[0] = 0;
    info.interface_class[0] = device.interface_class();
    return info;
}

// Endpoint 0 both ways, and the data endpoint the descriptors list: the
// same set, so QEMU never forwards a transfer the device does not know.
usb_redir_ep_info_header endpoint_info_of(const UsbDevice &device) {
    usb_redir_ep_info_header info{};
    std::memset(info.type, usb_redir_type_invalid, sizeof info.type);
    for (std::uint8_t control : {kControlEndpointOut, kControlEndpointIn}) {
        info.type[endpoint_index(control)] = usb_redir_type_control;
        info.max_packet_size[endpoint_index(control)] = 64;
    }
    const DataEndpoint &data = device.data_endpoint();
    int index = endpoint_index(data.address);
    info.type[index] = data.transfer_type;
    info.interval[index] = data.interval;
    info.interface[index] = 0;
    info.max_packet_size[index] = data.max_packet_size;
    return info;
}

usb_redir_device_connect_header connect_info_of(const UsbDevice &device) {
    usb_redir_device_connect_header info{};
    info.speed = usb_redir_speed_high;
    info.device_class = device.device_class();
    info.vendor_id = device.vendor();
    info.product_id = device.product();
    info.device_version_bcd = 0x0100;
    return info;
}

// Trampolines from the parser's C callbacks.
void log_message(void *, int level, const char *message) {
    if (level <= usbredirparser_error) {
        std::fprintf(stderr, "usbredir: %s\n", message);
    }
}
int read_callback(void *priv, std::uint8_t *data, int count) {
    return link_of(priv).read_bytes(data, count);
}
int write_callback(void *priv, std::uint8_t *data, int count) {
    return link_of(priv).write_bytes(data, count);
}
void hello_callback(void *priv, usb_redir_hello_header *) {
    link_of(priv).on_hello();
}
void reset_callback(void *priv) {
    link_of(priv).on_reset();
}
void set_configuration_callback(void *priv, std::uint64_t id,
                                usb_redir_set_configuration_header *header) {
    link_of(priv).on_set_configuration(id, header->configuration);
}
void get_configuration_callback(void *priv, std::uint64_t id) {
    link_of(priv).on_get_configuration(id);
}
void set_alt_setting_callback(void *priv, std::uint64_t id,
                              usb_redir_set_alt_setting_header *header) {
    link_of(priv).on_set_alt_setting(id, header->interface, header->alt);
}
void get_alt_setting_callback(void *priv, std::uint64_t id,
                              usb_redir_get_alt_setting_header *header) {
    link_of(priv).on_get_alt_setting(id, header->interface);
}
void cancel_callback(void *priv, std::uint64_t id) {
    link_of(priv).on_cancel(id);
}
void control_packet_callback(void *priv, std::uint64_t id, usb_redir_control_packet_header *header,
                             std::uint8_t *data, int) {
    link_of(priv).on_control_packet(id, header, data);
}
void bulk_packet_callback(void *priv, std::uint64_t id, usb_redir_bulk_packet_header *header,
                          std::uint8_t *data, int) {
    link_of(priv).on_bulk_packet(id, header, data);
}
// Iso and interrupt packets: no device on the wire has such an endpoint
// (the wire carries no hub), so QEMU, which asks only for the endpoint
// types the ep_info gives, never sends them; their data is freed unread.
void iso_packet_callback(void *priv, std::uint64_t, usb_redir_iso_packet_header *,
                         std::uint8_t *data, int) {
    link_of(priv).free_packet_data(data);
}
void interrupt_packet_callback(void *priv, std::uint64_t, usb_redir_interrupt_packet_header *,
                               std::uint8_t *data, int) {
    link_of(priv).free_packet_data(data);
}
void ignore_iso_start(void *, std::uint64_t, usb_redir_start_iso_stream_header *) {}
void ignore_iso_stop(void *, std::uint64_t, usb_redir_stop_iso_stream_header *) {}
void ignore_interrupt_start(void *, std::uint64_t, usb_redir_start_interrupt_receiving_header *) {}
void ignore_interrupt_stop(void *, std::uint64_t, usb_redir_stop_interrupt_receiving_header *) {}
void ignore_streams_alloc(void *, std::uint64_t, usb_redir_alloc_bulk_streams_header *) {}
void ignore_streams_free(void *, std::uint64_t, usb_redir_free_bulk_streams_header *) {}
void ignore_filter_reject(void *) {}
void ignore_filter(void *, usbredirfilter_rule *, int) {}
void ignore_disconnect_ack(void *) {}
void ignore_bulk_receiving_start(void *, std::uint64_t, usb_redir_start_bulk_receiving_header *) {}
void ignore_bulk_receiving_stop(void *, std::uint64_t, usb_redir_stop_bulk_receiving_header *) {}

}  // namespace

// The header of a packet left unanswered, so that its cancellation can
// be reported as the answer to it.
struct UsbredirLink::Unanswered {
    bool control = true;
    usb_redir_control_packet_header control_header{};
    usb_redir_bulk_packet_header bulk_header{};
};

UsbredirLink::UsbredirLink(int socket_fd) : fd_(socket_fd) {
    parser_ = usbredirparser_create();
    if (parser_ == nullptr) {
        ::close(fd_);
        throw std::runtime_error("usbredirparser_create failed");
    }
    parser_->priv = this;
    parser_->log_func = log_message;
    parser_->read_func = read_callback;
    parser_->write_func = write_callback;
    parser_->hello_func = hello_callback;
    parser_->reset_func = reset_callback;
    parser_->set_configuration_func = set_configuration_callback;
    parser_->get_configuration_func = get_configuration_callback;
    parser_->set_alt_setting_func = set_alt_setting_callback;
    parser_->get_alt_setting_func = get_alt_setting_callback;
    parser_->start_iso_stream_func = ignore_iso_start;
    parser_->stop_iso_stream_func = ignore_iso_stop;
    parser_->start_interrupt_receiving_func = ignore_interrupt_start;
    parser_->stop_interrupt_receiving_func = ignore_interrupt_stop;
    parser_->alloc_bulk_streams_func = ignore_streams_alloc;
    parser_->free_bulk_streams_func = ignore_streams_free;
    parser_->cancel_data_packet_func = cancel_callback;
    parser_->control_packet_func = control_packet_callback;
    parser_->bulk_packet_func = bulk_packet_callback;
    parser_->iso_packet_func = iso_packet_callback;
    parser_->interrupt_packet_func = interrupt_packet_callback;
    parser_->filter_reject_func = ignore_filter_reject;
    parser_->filter_filter_func = ignore_filter;
    parser_->device_disconnect_ack_func = ignore_disconnect_ack;
    parser_->start_bulk_receiving_func = ignore_bulk_receiving_start;
    parser_->stop_bulk_receiving_func = ignore_bulk_receiving_stop;

    // What QEMU's usb-redir asks of a device before it attaches it to xHCI
    // (the connect header's version fields, endpoints' packet sizes), and
    // the id and bulk length sizes it speaks itself.
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser_, "camera-probe emulated device", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
}

UsbredirLink::~UsbredirLink() {
    usbredirparser_destroy(parser_);
    ::close(fd_);
}

bool UsbredirLink::receive() {
    return usbredirparser_do_read(parser_) != usbredirparser_read_io_error;
}

bool UsbredirLink::send() {
    usbredirparser_do_write(parser_);
    return has_output();
}

bool UsbredirLink::has_output() const {
    return usbredirparser_has_data_to_write(parser_) != 0;
}

int UsbredirLink::read_bytes(std::uint8_t *data, int count) {
    ssize_t got = ::read(fd_, data, static_cast<std::size_t>(count));
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    return -1;  // closed, or broken
}

// Never SIGPIPE: when QEMU has gone, the write fails and the bus says so.
int UsbredirLink::write_bytes(const std::uint8_t *data, int count) {
    ssize_t sent = ::send(fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

void UsbredirLink::free_packet_data(std::uint8_t *data) {
    usbredirparser_free_packet_data(parser_, data);
}

void UsbredirLink::plug(std::shared_ptr<UsbDevice> device) {
    unplug();
    device_ = std::move(device);
    if (peer_ready_) {
        connect_device();
    }
}

void UsbredirLink::unplug() {
    if (connected_) {
        usbredirparser_send_device_disconnect(parser_);
    }
    connected_ = false;
    device_.reset();
    unanswered_.clear();
}

// QEMU wants interface and endpoint info before the connect itself.
void UsbredirLink::connect_device() {
    usb_redir_interface_info_header interfaces = interface_info_of(*device_);
    usb_redir_ep_info_header endpoints = endpoint_info_of(*device_);
    usb_redir_device_connect_header connect = connect_info_of(*device_);
    usbredirparser_send_interface_info(parser_, &interfaces);
    usbredirparser_send_ep_info(parser_, &endpoints);
    usbredirparser_send_device_connect(parser_, &connect);
    connected_ = true;
}

// The device unplugged itself in the middle of a transfer: the transfer
// stays unanswered and the guest sees the device go.
void UsbredirLink::device_gone() {
    usbredirparser_send_device_disconnect(parser_);
    connected_ = false;
    unanswered_.clear();
}

void UsbredirLink::on_hello() {
    peer_ready_ = true;
    if (device_ != nullptr && !connected_) {
        connect_device();
    }
}

void UsbredirLink::on_reset() {
    if (device_ != nullptr) {
        device_->reset();
    }
}

void UsbredirLink::on_control_packet(std::uint64_t id, const void *header_bytes,
                                     std::uint8_t *data) {
    usb_redir_control_packet_header header =
        *static_cast<const usb_redir_control_packet_header *>(header_bytes);
    free_packet_data(data);
    if (!has_device()) {
        return;  // a packet in flight across an unplug: the guest has moved on
    }
    SetupPacket setup{header.requesttype, header.request, header.value, header.index,
                      header.length};
    Answer answer = device_->control(ControlTransfer{setup, std::nullopt});
    if (answer.outcome == Outcome::gone) {
        device_gone();
        return;
    }
    if (answer.outcome == Outcome::no_answer) {
        auto unanswered = std::make_unique<Unanswered>();
        unanswered->control_header = header;
        unanswered_[id] = std::move(unanswered);
        return;
    }
    header.status = status_for(answer.outcome);
    // An IN reply's length is the data it carries, all that the device
    // sent: one that sends more than wLength is the guest's host
    // controller's to mend, as it would be on a real bus. An OUT reply
    // echoes the length it took.
    if (setup.is_device_to_host()) {
        header.length = static_cast<std::uint16_t>(answer.data.size());
        usbredirparser_send_control_packet(parser_, id, &header, answer.data.data(),
                                           static_cast<int>(answer.data.size()));
    } else {
        if (answer.outcome != Outcome::data) {
            header.length = 0;
        }
        usbredirparser_send_control_packet(parser_, id, &header, nullptr, 0);
    }
}

void UsbredirLink::on_bulk_packet(std::uint64_t id, const void *header_bytes, std::uint8_t *data) {
    usb_redir_bulk_packet_header header =
        *static_cast<const usb_redir_bulk_packet_header *>(header_bytes);
    free_packet_data(data);
    if (!has_device()) {
        return;
    }
    Answer answer = device_->data_transfer(header.endpoint);
    if (answer.outcome == Outcome::no_answer) {
        auto unanswered = std::make_unique<Unanswered>();
        unanswered->control = false;
        unanswered->bulk_header = header;
        unanswered_[id] = std::move(unanswered);
        return;
    }
    header.status = status_for(answer.outcome);
    header.length = 0;
    header.length_high = 0;
    usbredirparser_send_bulk_packet(parser_, id, &header, nullptr, 0);
}

// QEMU gave up on a packet (the guest's timeout): report it cancelled.
void UsbredirLink::on_cancel(std::uint64_t id) {
    auto found = unanswered_.find(id);
    if (found == unanswered_.end()) {
        return;
    }
    Unanswered &packet = *found->second;
    if (packet.control) {
        packet.control_header.status = usb_redir_cancelled;
        packet.control_header.length = 0;
        usbredirparser_send_control_packet(parser_, id, &packet.control_header, nullptr, 0);
    } else {
        packet.bulk_header.status = usb_redir_cancelled;
        packet.bulk_header.length = 0;
        packet.bulk_header.length_high = 0;
        usbredirparser_send_bulk_packet(parser_, id, &packet.bulk_header, nullptr, 0);
    }
    unanswered_.erase(found);
}

void UsbredirLink::on_set_configuration(std::uint64_t id, std::uint8_t configuration) {
    usb_redir_configuration_status_header status{};
    bool accepted = has_device() && device_->set_configuration(configuration);
    status.status = accepted ? usb_redir_success : usb_redir_stall;
    status.configuration = has_device() ? device_->configuration() : 0;
    usbredirparser_send_configuration_status(parser_, id, &status);
}

void UsbredirLink::on_get_configuration(std::uint64_t id) {
    usb_redir_configuration_status_header status{};
    status.status = has_device() ? usb_redir_success : usb_redir_ioerror;
    status.configuration = has_device() ? device_->configuration() : 0;
    usbredirparser_send_configuration_status(parser_, id, &status);
}

void UsbredirLink::on_set_alt_setting(std::uint64_t id, std::uint8_t interface, std::uint8_t alt) {
    usb_redir_alt_setting_status_header status{};
    status.interface = interface;
    status.alt = 0;
    status.status = has_device() && device_->set_interface(interface, alt) ? usb_redir_success
                                                                           : usb_redir_stall;
    usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void UsbredirLink::on_get_alt_setting(std::uint64_t id, std::uint8_t interface) {
    on_set_alt_setting(id, interface, 0);
}

}  // namespace usb_emulator
