// SPDX-License-Identifier: MIT
#include "usbfs_ioctls.h"

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
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

// The client's ioctl argument as a T, in `value`, and the data resolved
// for it (through which the pointers inside it are followed); null, with
// the call failed EFAULT, when it cannot be read.
template <typename T>
IoctlDataPtr argument_as(UMockdevIoctlClient *client, T &value) {
    IoctlDataPtr data = resolve_argument(client, sizeof(T));
    if (data != nullptr) {
        std::memcpy(&value, data->data, sizeof value);
    }
    return data;
}

template <typename T>
void update_field(UMockdevIoctlData *data, std::size_t offset, T value) {
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8 *>(&value),
                               static_cast<gint>(sizeof value));
}

// Data URBs are bulk: the one interrupt endpoint in a testbed is a root
// hub's, which the kernel's hub driver holds, so no client reaches it.
bool is_bulk_urb(const usbdevfs_urb &urb) {
    return urb.type == USBDEVFS_URB_TYPE_BULK;
}

}  // namespace

// A URB submitted and not yet reaped. The device's answer is kept here and
// written into the client's URB only when it is reaped.
struct UsbfsIoctls::Urb {
    IoctlDataPtr data;
    int status = 0;  // as usbfs reports it: 0 or a negative errno
    int actual_length = 0;
    bool completed = false;  // false while an unanswered transfer waits for its discard
};

UsbfsIoctls::UsbfsIoctls(Lookup lookup) : lookup_(std::move(lookup)) {
    handler_ = umockdev_ioctl_base_new();
    if (handler_ == nullptr) {
        throw std::runtime_error("cannot create a umockdev ioctl handler");
    }
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsIoctls::handle_ioctl), this);
}

UsbfsIoctls::~UsbfsIoctls() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
}

void UsbfsIoctls::set_transfer_observer(TransferObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

// Lets the observer look, then has the device log and answer the transfer.
Answer UsbfsIoctls::play(const NodeDevice &node, const ControlTransfer &transfer) {
    TransferObserver observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = observer_;
    }
    if (observer) {
        observer(node.ref, transfer);
    }
    return node.device->control(transfer);
}

int UsbfsIoctls::handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
    return static_cast<UsbfsIoctls *>(self)->dispatch(client) ? TRUE : FALSE;
}

bool UsbfsIoctls::dispatch(UMockdevIoctlClient *client) {
    std::optional<NodeDevice> node = lookup_(umockdev_ioctl_client_get_devnode(client));
    if (!node) {
        return false;
    }
    switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_CONTROL:
            control_ioctl(*node, client);
            return true;
        case USBDEVFS_BULK:
            bulk_ioctl(*node, client);
            return true;
        case USBDEVFS_SUBMITURB:
            submit_urb(*node, client);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap_urb(*node, client);
            return true;
        case USBDEVFS_DISCARDURB:
            discard_urb(*node, client);
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
                                   static_cast<unsigned>(node->ref.devnum));
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
void UsbfsIoctls::control_ioctl(const NodeDevice &node, UMockdevIoctlClient *client) {
    usbdevfs_ctrltransfer ctrl{};
    IoctlDataPtr request = argument_as(client, ctrl);
    if (request == nullptr) {
        return;
    }
    ControlTransfer transfer = control_transfer_from(ctrl);
    Answer answer = play(node, transfer);
    if (int error = errno_for(answer.outcome); error != 0) {
        umockdev_ioctl_client_complete(client, -1, error);
        return;
    }
    if (babbles(transfer.setup, answer)) {
        umockdev_ioctl_client_complete(client, -1, kBabbleErrno);
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
void UsbfsIoctls::bulk_ioctl(const NodeDevice &node, UMockdevIoctlClient *client) {
    usbdevfs_bulktransfer bulk{};
    IoctlDataPtr request = argument_as(client, bulk);
    if (request == nullptr) {
        return;
    }
    auto endpoint = static_cast<std::uint8_t>(bulk.ep);
    if (!node.device->has_endpoint(endpoint)) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    int error = errno_for(node.device->data_transfer(endpoint).outcome);
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
}

// libusb 1.0: a control URB's buffer starts with the setup packet; a URB
// completes later, when the client reaps it. The data stage goes into the
// buffer now, as the kernel would write it before the URB can be reaped;
// status and length follow at reap time.
void UsbfsIoctls::submit_urb(const NodeDevice &node, UMockdevIoctlClient *client) {
    usbdevfs_urb urb{};
    IoctlDataPtr urb_data = argument_as(client, urb);
    if (urb_data == nullptr) {
        return;
    }
    // As usbfs checks: the endpoint first, then the URB's type against it.
    bool to_endpoint_zero = urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.endpoint == 0;
    if (!to_endpoint_zero && !node.device->has_endpoint(urb.endpoint)) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    bool control = to_endpoint_zero && urb.buffer_length >= static_cast<int>(SetupPacket::kSize);
    if (!control && !is_bulk_urb(urb)) {
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
    bool babble = false;
    if (control) {
        ControlTransfer transfer{SetupPacket::parse(buffer->data), std::nullopt};
        answer = play(node, transfer);
        babble = babbles(transfer.setup, answer);
        std::size_t room = static_cast<std::size_t>(urb.buffer_length) - SetupPacket::kSize;
        answer.data.resize(babble ? 0 : std::min(answer.data.size(), room));
        if (transfer.setup.is_device_to_host() && !answer.data.empty()) {
            umockdev_ioctl_data_update(buffer.get(), SetupPacket::kSize, answer.data.data(),
                                       static_cast<gint>(answer.data.size()));
        }
    } else {
        answer = node.device->data_transfer(urb.endpoint);
    }
    if (submit_fails_for(answer.outcome)) {
        umockdev_ioctl_client_complete(client, -1, errno_for(answer.outcome));
        return;
    }
    Urb pending{std::move(urb_data), babble ? -kBabbleErrno : urb_status_for(answer.outcome),
                static_cast<int>(answer.data.size()), answer.outcome != Outcome::no_answer};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        urbs_[node.ref.devnode].push_back(std::move(pending));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

// The client's pointer is resolved first: a reap that fails with EFAULT
// leaves the completed URB queued for the next one.
void UsbfsIoctls::reap_urb(const NodeDevice &node, UMockdevIoctlClient *client) {
    IoctlDataPtr urb_pointer = resolve_argument(client, sizeof(void *));
    if (urb_pointer == nullptr) {
        return;
    }
    Urb reaped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::list<Urb> &urbs = urbs_[node.ref.devnode];
        auto done =
            std::find_if(urbs.begin(), urbs.end(), [](const Urb &urb) { return urb.completed; });
        if (done != urbs.end()) {
            reaped = std::move(*done);
            urbs.erase(done);
        }
    }
    if (reaped.data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData *urb_data = reaped.data.get();
    update_field<int>(urb_data, offsetof(usbdevfs_urb, status), reaped.status);
    update_field<int>(urb_data, offsetof(usbdevfs_urb, actual_length), reaped.actual_length);
    umockdev_ioctl_data_set_ptr(urb_pointer.get(), 0, urb_data);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// The library gave up waiting (its own timeout): the URB completes as
// unlinked and is reaped like any other.
void UsbfsIoctls::discard_urb(const NodeDevice &node, UMockdevIoctlClient *client) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    gulong client_address = 0;
    std::memcpy(&client_address, arg->data, sizeof client_address);
    bool discarded = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Urb &urb : urbs_[node.ref.devnode]) {
            if (!urb.completed && urb.data->client_addr == client_address) {
                urb.completed = true;
                urb.status = kDiscardedUrbStatus;
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
