// SPDX-License-Identifier: MIT
#include "fake_usb.h"

#include <algorithm>

#include "probe_expectations.h"

struct usb_dev_handle {
    fake_usb::FakeDevice *device;
    bool closed;
};

namespace fake_usb {

namespace {

struct World {
    std::deque<struct usb_bus> buses;
    std::deque<FakeDevice> devices;
    std::deque<usb_dev_handle> handles;
    std::vector<Call> calls;
    int find_busses_result = 1;
    int find_devices_result = 1;
    int bad_closes = 0;
};

World &world() {
    static World instance;
    return instance;
}

Call &record(const Call &call) {
    return world().calls.emplace_back(call);
}

const struct usb_device *record_of(const usb_dev_handle *handle) {
    return handle != nullptr ? &handle->device->record : nullptr;
}

// Plays a transfer against the device: the next scripted reply if any,
// else the camera's register file.
Reply answer(FakeDevice &device, int request_type, int value) {
    if (!device.script.empty()) {
        Reply reply = device.script.front();
        device.script.pop_front();
        return reply;
    }
    if ((request_type & USB_ENDPOINT_IN) != 0) {
        return Reply{1, device.register_value};
    }
    device.register_value = static_cast<unsigned char>(value);
    return Reply{0, std::nullopt};
}

}  // namespace

void reset() {
    world() = World{};
}

struct usb_bus *add_bus() {
    World &w = world();
    w.buses.emplace_back();
    struct usb_bus *bus = &w.buses.back();
    if (w.buses.size() > 1) {
        struct usb_bus *previous = &w.buses[w.buses.size() - 2];
        previous->next = bus;
        bus->prev = previous;
    }
    return bus;
}

FakeDevice &add_device(struct usb_bus *bus, std::uint16_t vendor, std::uint16_t product) {
    World &w = world();
    w.devices.emplace_back();
    FakeDevice &device = w.devices.back();
    device.record.bus = bus;
    device.record.dev = &device;  // where a library keeps its own, the fake keeps its device
    device.record.descriptor.idVendor = vendor;
    device.record.descriptor.idProduct = product;
    struct usb_device **link = &bus->devices;
    while (*link != nullptr) {
        device.record.prev = *link;
        link = &(*link)->next;
    }
    *link = &device.record;
    return device;
}

FakeDevice &add_camera(struct usb_bus *bus, unsigned char register_value) {
    FakeDevice &camera = add_device(bus, expected::kVendorId, expected::kProductId);
    camera.register_value = register_value;
    return camera;
}

void set_scan_results(int find_busses_result, int find_devices_result) {
    world().find_busses_result = find_busses_result;
    world().find_devices_result = find_devices_result;
}

const std::vector<Call> &calls() {
    return world().calls;
}

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const Call &call : world().calls) {
        names.push_back(call.function);
    }
    return names;
}

std::vector<Call> calls_named(const std::string &function) {
    std::vector<Call> matching;
    for (const Call &call : world().calls) {
        if (call.function == function) {
            matching.push_back(call);
        }
    }
    return matching;
}

int open_handles() {
    return static_cast<int>(
        std::count_if(world().handles.begin(), world().handles.end(),
                      [](const usb_dev_handle &handle) { return !handle.closed; }));
}

int bad_closes() {
    return world().bad_closes;
}

}  // namespace fake_usb

using fake_usb::Call;

void usb_set_debug(int level) {
    fake_usb::record(Call{"usb_set_debug"}).debug_level = level;
}

void usb_init(void) {
    fake_usb::record(Call{"usb_init"});
}

int usb_find_busses(void) {
    fake_usb::record(Call{"usb_find_busses"});
    return fake_usb::world().find_busses_result;
}

int usb_find_devices(void) {
    fake_usb::record(Call{"usb_find_devices"});
    return fake_usb::world().find_devices_result;
}

struct usb_bus *usb_get_busses(void) {
    fake_usb::record(Call{"usb_get_busses"});
    auto &buses = fake_usb::world().buses;
    return buses.empty() ? nullptr : &buses.front();
}

usb_dev_handle *usb_open(struct usb_device *dev) {
    auto *device = dev != nullptr ? static_cast<fake_usb::FakeDevice *>(dev->dev) : nullptr;
    usb_dev_handle *handle = nullptr;
    if (device != nullptr && !device->open_fails) {
        handle = &fake_usb::world().handles.emplace_back(usb_dev_handle{device, false});
    }
    fake_usb::record(Call{"usb_open", dev, handle});
    return handle;
}

int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index,
                    char *bytes, int size, int timeout) {
    fake_usb::record(Call{"usb_control_msg", fake_usb::record_of(dev), dev, requesttype, request,
                          value, index, bytes == nullptr, size, timeout});
    if (dev == nullptr || dev->closed) {
        return -19;  // -ENODEV, as a real library reports a dead handle
    }
    fake_usb::Reply reply = fake_usb::answer(*dev->device, requesttype, value);
    if (reply.byte && reply.result > 0 && bytes != nullptr && size > 0) {
        bytes[0] = static_cast<char>(*reply.byte);
    }
    return reply.result;
}

int usb_close(usb_dev_handle *dev) {
    fake_usb::record(Call{"usb_close", fake_usb::record_of(dev), dev});
    if (dev == nullptr || dev->closed) {
        ++fake_usb::world().bad_closes;
        return -1;
    }
    dev->closed = true;
    return 0;
}
