// SPDX-License-Identifier: MIT
// Random bus and device topologies and transfer outcomes against the
// in-memory libusb, checking what must hold whatever the hardware does.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "probe_expectations.h"
#include "probe_output.h"
#include "scenarios.h"

namespace {

using expected::kProductId;
using expected::kVendorId;
using fake_usb::FakeDevice;
using fake_usb::Reply;

constexpr unsigned kSeed = 20261208;
constexpr int kRounds = 400;

struct PlannedCamera {
    FakeDevice *device;
    bool opens;
    Reply first_read;
    Reply second_read;
};

Reply random_reply(std::mt19937 &random, bool is_read) {
    static const int kFailures[] = {-32, -110, -19, -5};
    const auto kind = random() % 4;
    if (kind == 0) {
        return Reply{kFailures[random() % 4], std::nullopt};
    }
    if (kind == 1 || !is_read) {
        return Reply{0, std::nullopt};
    }
    return Reply{1, static_cast<unsigned char>(random() % 256)};
}

registry::Read read_of(const Reply &reply) {
    return registry::Read{reply.result, reply.result > 0 ? reply.byte : std::nullopt};
}

// Builds 0 to 4 buses of 0 to 8 devices: cameras, devices sharing one of
// the camera's IDs, and others. Returns the cameras in list order.
std::vector<PlannedCamera> random_topology(std::mt19937 &random) {
    std::vector<PlannedCamera> cameras;
    int buses = static_cast<int>(random() % 5);
    for (int b = 0; b < buses; ++b) {
        struct usb_bus *bus = fake_usb::add_bus();
        int devices = static_cast<int>(random() % 9);
        for (int d = 0; d < devices; ++d) {
            switch (random() % 5) {
                case 0:
                case 1: {
                    FakeDevice &camera = fake_usb::add_camera(bus);
                    camera.open_fails = random() % 6 == 0;
                    Reply first = random_reply(random, true);
                    Reply write = random_reply(random, false);
                    Reply second = random_reply(random, true);
                    camera.script = {first, write, second};
                    cameras.push_back(PlannedCamera{&camera, !camera.open_fails, first, second});
                    break;
                }
                case 2:
                    fake_usb::add_device(bus, kVendorId,
                                         static_cast<std::uint16_t>(random() % kProductId));
                    break;
                case 3:
                    fake_usb::add_device(bus,
                                         static_cast<std::uint16_t>(kVendorId + 1 + random() % 100),
                                         kProductId);
                    break;
                default:
                    fake_usb::add_device(bus, 0x046D, 0xC31C);
                    break;
            }
        }
    }
    return cameras;
}

// What the registry's renderer expects of the planned cameras: a read
// that delivers no byte shows the last one delivered, by whichever camera.
std::string expected_output(const std::vector<PlannedCamera> &cameras) {
    std::vector<registry::CameraOutput> printed;
    for (const PlannedCamera &camera : cameras) {
        printed.push_back(
            camera.opens ? registry::reads(read_of(camera.first_read), read_of(camera.second_read))
                         : registry::open_fails());
    }
    return registry::expected_output(registry::prints(printed));
}

TEST(RandomTopologies, InvariantsHoldForAnyBusesDevicesAndOutcomes) {
    std::mt19937 random(kSeed);
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + ", round " + std::to_string(round));
        fake_usb::reset();
        std::vector<PlannedCamera> cameras = random_topology(random);

        ProbeOutcome run = run_probe();

        ASSERT_EQ(run.status, 0);
        // Every handle opened is closed once, and only cameras are touched:
        // three transfers for each one opened, none for anything else.
        EXPECT_EQ(fake_usb::open_handles(), 0);
        EXPECT_EQ(fake_usb::bad_closes(), 0);
        auto opened = static_cast<std::size_t>(
            std::count_if(cameras.begin(), cameras.end(),
                          [](const PlannedCamera &camera) { return camera.opens; }));
        EXPECT_EQ(fake_usb::calls_named("usb_open").size(), cameras.size());
        EXPECT_EQ(fake_usb::calls_named("usb_close").size(), opened);
        EXPECT_EQ(fake_usb::calls_named("usb_control_msg").size(), 3 * opened);
        for (const fake_usb::Call &call : fake_usb::calls_named("usb_control_msg")) {
            EXPECT_TRUE(
                std::any_of(cameras.begin(), cameras.end(), [&](const PlannedCamera &camera) {
                    return camera.opens && call.device == &camera.device->record;
                }));
        }

        EXPECT_EQ(run.output, expected_output(cameras));
    }
}

}  // namespace
