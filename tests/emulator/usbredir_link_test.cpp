// SPDX-License-Identifier: MIT
// The usbredir transport's device side, on a socketpair, against a
// usbredirparser in QEMU's role: what QEMU is told when a device connects,
// answers, never answers and is cancelled, sends more than asked, or goes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "camera.h"
#include "usbredir_link.h"

namespace usb_emulator {
namespace {

// What QEMU received: a control packet (id, status, length, data), a bulk
// packet (id, status, endpoint, length), a configuration status (status,
// configuration). Tuples, which GoogleTest compares and prints whole.
using ControlReply =
    std::tuple<std::uint64_t, std::uint8_t, std::uint16_t, std::vector<std::uint8_t>>;
using BulkReply = std::tuple<std::uint64_t, std::uint8_t, std::uint8_t, std::uint32_t>;
using ConfigurationStatus = std::tuple<std::uint8_t, std::uint8_t>;

// QEMU's side of the link: a usbredirparser without the usb-host flag,
// which records what the device side sends.
class QemuSide {
  public:
    explicit QemuSide(int fd) : fd_(fd) {
        parser_ = usbredirparser_create();
        parser_->priv = this;
        parser_->log_func = [](void *, int, const char *) {};
        parser_->read_func = [](void *priv, std::uint8_t *data, int count) {
            return self(priv).read_bytes(data, count);
        };
        parser_->write_func = [](void *priv, std::uint8_t *data, int count) {
            return self(priv).write_bytes(data, count);
        };
        parser_->device_connect_func = [](void *priv, usb_redir_device_connect_header *connect) {
            self(priv).connected = *connect;
        };
        parser_->device_disconnect_func = [](void *priv) { ++self(priv).disconnects; };
        parser_->interface_info_func = [](void *priv, usb_redir_interface_info_header *info) {
            self(priv).interfaces = *info;
        };
        parser_->ep_info_func = [](void *priv, usb_redir_ep_info_header *info) {
            self(priv).endpoints = *info;
        };
        parser_->control_packet_func = [](void *priv, std::uint64_t id,
                                          usb_redir_control_packet_header *header,
                                          std::uint8_t *data, int data_len) {
            QemuSide &qemu = self(priv);
            qemu.replies.emplace_back(id, header->status, std::uint16_t{header->length},
                                      std::vector<std::uint8_t>(data, data + data_len));
            usbredirparser_free_packet_data(qemu.parser_, data);
        };
        parser_->bulk_packet_func = [](void *priv, std::uint64_t id,
                                       usb_redir_bulk_packet_header *header, std::uint8_t *data,
                                       int) {
            QemuSide &qemu = self(priv);
            usbredirparser_free_packet_data(qemu.parser_, data);
            std::uint32_t length = header->length | std::uint32_t{header->length_high} << 16;
            qemu.bulk_replies.emplace_back(id, header->status, header->endpoint, length);
        };
        parser_->configuration_status_func = [](void *priv, std::uint64_t,
                                                usb_redir_configuration_status_header *status) {
            self(priv).configuration_statuses.emplace_back(status->status, status->configuration);
        };
        parser_->alt_setting_status_func = [](void *priv, std::uint64_t,
                                              usb_redir_alt_setting_status_header *status) {
            self(priv).alt_setting_statuses.push_back(status->status);
        };
        std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
        usbredirparser_init(parser_, "link test", caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~QemuSide() {
        usbredirparser_destroy(parser_);
        ::close(fd_);
    }
    QemuSide(const QemuSide &) = delete;
    QemuSide &operator=(const QemuSide &) = delete;

    // A request on endpoint 0, as the guest's host controller hands it on.
    void send_control(std::uint64_t id, std::uint8_t request_type, std::uint8_t request,
                      std::uint16_t value, std::uint16_t index, std::uint16_t length) {
        auto endpoint = static_cast<std::uint8_t>(request_type & 0x80);
        // Endpoint, request, request type, status, value, index, length.
        usb_redir_control_packet_header header{endpoint, request, request_type, 0,
                                               value,    index,   length};
        usbredirparser_send_control_packet(parser_, id, &header, nullptr, 0);
    }
    void send_cancel(std::uint64_t id) { usbredirparser_send_cancel_data_packet(parser_, id); }
    // A bulk IN transfer of one high-speed packet.
    void send_bulk_in(std::uint64_t id, std::uint8_t endpoint) {
        // Endpoint, status, length, stream id, the length's high half.
        usb_redir_bulk_packet_header header{endpoint, 0, 512, 0, 0};
        usbredirparser_send_bulk_packet(parser_, id, &header, nullptr, 0);
    }
    // The standard requests usb-redir sends as packets of their own.
    void send_set_configuration(std::uint64_t id, std::uint8_t configuration) {
        usb_redir_set_configuration_header header{configuration};
        usbredirparser_send_set_configuration(parser_, id, &header);
    }
    void send_get_configuration(std::uint64_t id) {
        usbredirparser_send_get_configuration(parser_, id);
    }
    void send_set_alt_setting(std::uint64_t id, std::uint8_t interface, std::uint8_t alt) {
        usb_redir_set_alt_setting_header header{interface, alt};
        usbredirparser_send_set_alt_setting(parser_, id, &header);
    }
    void send_reset() { usbredirparser_send_reset(parser_); }

    // Lets both sides talk until neither has anything left to say.
    void exchange_with(UsbredirLink &link) {
        for (int round = 0; round < 20; ++round) {
            usbredirparser_do_write(parser_);
            if (!link.receive()) {
                throw std::runtime_error("the device side lost the connection");
            }
            link.send();
            usbredirparser_do_read(parser_);
        }
    }

    std::optional<usb_redir_device_connect_header> connected;
    std::optional<usb_redir_interface_info_header> interfaces;
    std::optional<usb_redir_ep_info_header> endpoints;
    int disconnects = 0;
    std::vector<ControlReply> replies;
    std::vector<BulkReply> bulk_replies;
    std::vector<ConfigurationStatus> configuration_statuses;
    std::vector<std::uint8_t> alt_setting_statuses;

  private:
    static QemuSide &self(void *priv) { return *static_cast<QemuSide *>(priv); }
    int read_bytes(std::uint8_t *data, int count) {
        ssize_t got = ::read(fd_, data, static_cast<std::size_t>(count));
        return got > 0 ? static_cast<int>(got) : (got < 0 && errno == EAGAIN ? 0 : -1);
    }
    int write_bytes(const std::uint8_t *data, int count) {
        ssize_t sent = ::write(fd_, data, static_cast<std::size_t>(count));
        return sent >= 0 ? static_cast<int>(sent) : (errno == EAGAIN ? 0 : -1);
    }

    int fd_;
    usbredirparser *parser_ = nullptr;
};

// A link and QEMU's side of it, on the two ends of a socketpair.
class UsbredirWire : public ::testing::Test {
  protected:
    UsbredirWire() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
            throw std::runtime_error("socketpair failed");
        }
        link = std::make_unique<UsbredirLink>(ends[0]);
        qemu = std::make_unique<QemuSide>(ends[1]);
    }
    void exchange() { qemu->exchange_with(*link); }
    // Plugs `device` and lets the hellos and its connection cross.
    void plug(std::shared_ptr<UsbDevice> device) {
        link->plug(std::move(device));
        exchange();
    }

    std::unique_ptr<UsbredirLink> link;
    std::unique_ptr<QemuSide> qemu;
};

constexpr std::uint16_t kRegister = 0x13;

std::shared_ptr<Camera> camera_with(FaultAction action, std::uint8_t register_value = 0x5A) {
    return std::make_shared<Camera>(
        CameraConfig{register_value, {action, FaultTarget::first_read}});
}

TEST_F(UsbredirWire, ConnectsTheDeviceOnceHelloHasComeWithItsInterfaceAndEndpoints) {
    plug(camera_with(FaultAction::none));

    ASSERT_TRUE(qemu->connected.has_value());
    EXPECT_EQ(qemu->connected->vendor_id, Camera::kVendorId);
    EXPECT_EQ(qemu->connected->product_id, Camera::kProductId);
    EXPECT_EQ(qemu->connected->speed, usb_redir_speed_high);
    ASSERT_TRUE(qemu->interfaces.has_value());
    EXPECT_EQ(qemu->interfaces->interface_count, 1u);
    EXPECT_EQ(qemu->interfaces->interface_class[0], UsbDevice::kVendorSpecificClass);
    ASSERT_TRUE(qemu->endpoints.has_value());
    // Endpoint 0 both ways, and the bulk IN endpoint as its descriptor says.
    EXPECT_EQ(qemu->endpoints->type[0], usb_redir_type_control);
    EXPECT_EQ(qemu->endpoints->type[16], usb_redir_type_control);
    EXPECT_EQ(qemu->endpoints->type[16 + 1], usb_redir_type_bulk);
    EXPECT_EQ(qemu->endpoints->max_packet_size[16 + 1], 512);
    EXPECT_TRUE(link->has_device());
}

TEST_F(UsbredirWire, ControlPacketsCarryTheDevicesAnswer) {
    auto camera = camera_with(FaultAction::stall);
    const std::vector<std::uint8_t> descriptor = camera->device_descriptor();
    plug(camera);

    qemu->send_control(1, 0xC0, 3, 0, kRegister, 1);     // stalled by the fault
    qemu->send_control(2, 0x40, 2, 0x15, kRegister, 0);  // the write
    qemu->send_control(3, 0xC0, 3, 0, kRegister, 1);     // reads back 0x15
    qemu->send_control(4, 0x80, 6, 0x0100, 0, 64);       // device descriptor
    exchange();

    EXPECT_EQ(qemu->replies, (std::vector<ControlReply>{{1, usb_redir_stall, 0, {}},
                                                        {2, usb_redir_success, 0, {}},
                                                        {3, usb_redir_success, 1, {0x15}},
                                                        {4, usb_redir_success, 18, descriptor}}));
}

// Writing to a QEMU that has gone is an error the link reports, not SIGPIPE.
TEST_F(UsbredirWire, WritingToAPeerThatHasGoneIsAnErrorNotASignal) {
    EXPECT_TRUE(link->has_output());  // its hello, queued at once
    qemu.reset();
    link->send();
    EXPECT_FALSE(link->receive());
}

// QEMU takes a reply to a cancelled packet for the device's answer unless it says cancelled.
TEST_F(UsbredirWire, ACancelledPacketIsAnsweredAsCancelledAndOnlyOnce) {
    plug(camera_with(FaultAction::no_answer));

    qemu->send_control(7, 0xC0, 3, 0, kRegister, 1);
    exchange();
    EXPECT_TRUE(qemu->replies.empty());

    qemu->send_cancel(7);
    qemu->send_cancel(7);
    qemu->send_cancel(8);  // never sent: nothing to answer
    exchange();

    EXPECT_EQ(qemu->replies, (std::vector<ControlReply>{{7, usb_redir_cancelled, 0, {}}}));
}

// The link carries what the device sent, even past wLength; what the guest
// gets of it is the host controller's business.
TEST_F(UsbredirWire, ALongReadArrivesWithTheByteTooMany) {
    plug(camera_with(FaultAction::long_read));

    qemu->send_control(1, 0xC0, 3, 0, kRegister, 1);
    exchange();

    const ControlReply long_read{1, usb_redir_success, 2, {0x5A, Camera::kLongReadExtraByte}};
    EXPECT_EQ(qemu->replies, std::vector<ControlReply>{long_read});
}

// Nothing is answered across an unplug: neither the transfer it happened
// in, nor a bulk packet waiting then, nor a packet or cancel still on its way.
TEST_F(UsbredirWire, ADeviceUnpluggedMidTransferDisconnectsWithoutAnAnswer) {
    plug(camera_with(FaultAction::unplug));

    qemu->send_bulk_in(1, 0x81);
    qemu->send_control(2, 0xC0, 3, 0, kRegister, 1);
    exchange();
    EXPECT_TRUE(qemu->replies.empty());
    EXPECT_EQ(qemu->disconnects, 1);
    EXPECT_FALSE(link->has_device());

    qemu->send_cancel(1);
    qemu->send_control(3, 0xC0, 3, 0, kRegister, 1);
    qemu->send_bulk_in(4, 0x81);
    exchange();
    EXPECT_TRUE(qemu->replies.empty());
    EXPECT_TRUE(qemu->bulk_replies.empty());
    EXPECT_EQ(qemu->disconnects, 1);
}

// The camera's bulk IN endpoint streams nothing yet: a transfer on it
// waits until QEMU cancels it (the guest's timeout); one on an endpoint the
// device does not list is stalled.
TEST_F(UsbredirWire, ABulkInPacketWaitsUntilCancelledAndAnUnlistedEndpointStalls) {
    plug(camera_with(FaultAction::none));

    qemu->send_bulk_in(5, 0x81);
    qemu->send_bulk_in(6, 0x82);
    exchange();
    const BulkReply stalled{6, usb_redir_stall, 0x82, 0};
    EXPECT_EQ(qemu->bulk_replies, std::vector<BulkReply>{stalled});

    qemu->send_cancel(5);
    qemu->send_cancel(5);
    exchange();
    const BulkReply cancelled{5, usb_redir_cancelled, 0x81, 0};
    EXPECT_EQ(qemu->bulk_replies, (std::vector<BulkReply>{stalled, cancelled}));
    EXPECT_TRUE(qemu->replies.empty());
}

// SET_INTERFACE travels as its own packet; the device decides, as it does
// for the same request on endpoint 0. A reset from the guest leaves the
// device unconfigured.
TEST_F(UsbredirWire, AnAltSettingTheCameraLacksIsStalledAndAResetUnconfigures) {
    auto camera = camera_with(FaultAction::none);
    plug(camera);

    qemu->send_set_configuration(1, 1);
    qemu->send_set_alt_setting(2, 0, 0);
    qemu->send_set_alt_setting(3, 0, 1);
    qemu->send_set_alt_setting(4, 1, 0);
    exchange();
    ASSERT_EQ(camera->configuration(), 1);

    qemu->send_reset();
    qemu->send_get_configuration(5);
    qemu->send_set_alt_setting(6, 0, 0);
    exchange();

    EXPECT_EQ(qemu->configuration_statuses,
              (std::vector<ConfigurationStatus>{{usb_redir_success, 1}, {usb_redir_success, 0}}));
    EXPECT_EQ(qemu->alt_setting_statuses,
              (std::vector<std::uint8_t>{usb_redir_success, usb_redir_stall, usb_redir_stall,
                                         usb_redir_stall}));
    EXPECT_TRUE(link->has_device());
}

}  // namespace
}  // namespace usb_emulator
