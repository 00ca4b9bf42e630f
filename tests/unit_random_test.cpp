// SPDX-License-Identifier: MIT
// Random bus and device topologies and transfer outcomes against the
// in-memory libusb, checking what must hold whatever the hardware does.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "probe_expectations.h"
#include "probe_output.h"

namespace {

using expected::hex_byte;
using expected::kAnnouncement;
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
    switch (random() % 4) {
        case 0:
            return Reply{kFailures[random() % 4], std::nullopt};
        case 1:
            return Reply{0, std::nullopt};
        default:
            if (!is_read) {
                return Reply{0, std::nullopt};
            }
            return Reply{1, static_cast<unsigned char>(random() % 256)};
    }
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

// The text between two announcements: a failed open, or two result lines.
void expect_camera_section(const std::string &section, const PlannedCamera &camera,
                           unsigned &last_delivered) {
    if (!camera.opens) {
        EXPECT_EQ(section, expected::kOpenFailed);
        return;
    }
    static const std::regex kTwoResults(
        "\nusb_control_msg\\(\\) returned (-?[0-9]+) -> 0x([0-9a-f]{2})"
        "\nusb_control_msg\\(\\) returned (-?[0-9]+) -> 0x([0-9a-f]{2})");
    std::smatch lines;
    ASSERT_TRUE(std::regex_match(section, lines, kTwoResults)) << section;
    const Reply *reads[] = {&camera.first_read, &camera.second_read};
    for (int i = 0; i < 2; ++i) {
        // A read that delivers a byte shows it; any other shows the last
        // byte delivered before, by whichever camera.
        if (reads[i]->result > 0 && reads[i]->byte) {
            last_delivered = *reads[i]->byte;
        }
        EXPECT_EQ(lines[1 + 2 * i].str(), std::to_string(reads[i]->result));
        EXPECT_EQ(lines[2 + 2 * i].str(), hex_byte(last_delivered));
    }
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

        // The output splits into exactly one section per camera, in order.
        std::vector<std::string> sections;
        std::size_t at = 0;
        while ((at = run.output.find(kAnnouncement, at)) != std::string::npos) {
            at += kAnnouncement.size();
            std::size_t next = run.output.find(kAnnouncement, at);
            sections.push_back(run.output.substr(at, next - at));
        }
        ASSERT_EQ(sections.size(), cameras.size()) << run.output;
        EXPECT_EQ(run.output.rfind(kAnnouncement, 0) == 0, !cameras.empty()) << run.output;
        unsigned last_delivered = 0x20;
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            expect_camera_section(sections[i], cameras[i], last_delivered);
        }
    }
}

}  // namespace
