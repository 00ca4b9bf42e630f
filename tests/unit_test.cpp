// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_usb.h"
#include "probe_expectations.h"
#include "probe_output.h"

namespace {

using expected::kAnnouncement;
using expected::kProductId;
using expected::kVendorId;
using expected::result_line;
using fake_usb::Reply;

class ProbeTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_usb::reset(); }
};

// --- start-up and scans -------------------------------------------------

TEST_F(ProbeTest, SetsDebugLevelZeroBeforeInitThenScansAndWalksQuietly) {
    struct usb_bus *bus = fake_usb::add_bus();
    fake_usb::add_device(bus, 0x1d6b, 0x0002);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(fake_usb::call_names(),
              (std::vector<std::string>{"usb_set_debug", "usb_init", "usb_find_busses",
                                        "usb_find_devices", "usb_get_busses"}));
    EXPECT_EQ(fake_usb::calls().front().debug_level, 0);
}

TEST_F(ProbeTest, FailedBusScanPrintsOnlyItsMessageAndStopsWithMinusOne) {
    fake_usb::add_camera(fake_usb::add_bus());
    fake_usb::set_scan_results(-2, 1);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, expected::kNoBuses);
    EXPECT_EQ(fake_usb::call_names(),
              (std::vector<std::string>{"usb_set_debug", "usb_init", "usb_find_busses"}));
}

TEST_F(ProbeTest, FailedDeviceScanPrintsOnlyItsMessageAndSkipsTheWalk) {
    fake_usb::add_camera(fake_usb::add_bus());
    fake_usb::set_scan_results(3, -1);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.output, expected::kNoDevices);
    EXPECT_TRUE(fake_usb::calls_named("usb_get_busses").empty());
    EXPECT_TRUE(fake_usb::calls_named("usb_open").empty());
}

TEST_F(ProbeTest, ScansThatReturnZeroAreNotFailures) {
    fake_usb::add_camera(fake_usb::add_bus());
    fake_usb::set_scan_results(0, 0);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              kAnnouncement + result_line(1, "00") + result_line(1, expected::kWrittenHex));
}

// --- device walk ----------------------------------------------------------

TEST_F(ProbeTest, EmptyBusListAndEmptyBusesPrintNothing) {
    ProbeOutcome no_buses = run_probe();
    EXPECT_EQ(no_buses.status, 0);
    EXPECT_EQ(no_buses.output, "");

    fake_usb::reset();
    fake_usb::add_bus();
    fake_usb::add_bus();
    ProbeOutcome empty_buses = run_probe();
    EXPECT_EQ(empty_buses.status, 0);
    EXPECT_EQ(empty_buses.output, "");
    EXPECT_TRUE(fake_usb::calls_named("usb_open").empty());
}

TEST_F(ProbeTest, DevicesMatchingOnlyOneIdAreNeverOpened) {
    struct usb_bus *bus = fake_usb::add_bus();
    fake_usb::add_device(bus, kVendorId, kProductId + 1);
    fake_usb::add_device(bus, kVendorId - 1, kProductId);
    fake_usb::add_device(bus, kProductId, kVendorId);
    fake_usb::add_device(bus, kVendorId, 0x0000);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(fake_usb::calls_named("usb_open").empty());
    EXPECT_TRUE(fake_usb::calls_named("usb_control_msg").empty());
}

TEST_F(ProbeTest, EveryCameraOnEveryBusIsProbedInListOrder) {
    struct usb_bus *first = fake_usb::add_bus();
    struct usb_bus *second = fake_usb::add_bus();
    fake_usb::add_device(first, 0x1d6b, 0x0002);
    fake_usb::FakeDevice &camera_a = fake_usb::add_camera(first, 0x01);
    fake_usb::add_device(first, kVendorId, 0x1234);
    fake_usb::FakeDevice &camera_b = fake_usb::add_camera(first, 0x02);
    fake_usb::add_device(second, 0x046d, kProductId);
    fake_usb::FakeDevice &camera_c = fake_usb::add_camera(second, 0x03);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    // Each announcement continues the previous camera's last result line.
    EXPECT_EQ(run.output,
              kAnnouncement + result_line(1, "01") + result_line(1, expected::kWrittenHex) +
                  kAnnouncement + result_line(1, "02") + result_line(1, expected::kWrittenHex) +
                  kAnnouncement + result_line(1, "03") + result_line(1, expected::kWrittenHex));
    std::vector<const struct usb_device *> opened;
    for (const fake_usb::Call &call : fake_usb::calls_named("usb_open")) {
        opened.push_back(call.device);
    }
    EXPECT_EQ(opened, (std::vector<const struct usb_device *>{&camera_a.record, &camera_b.record,
                                                              &camera_c.record}));
}

// --- register exchange -----------------------------------------------------

TEST_F(ProbeTest, ExchangeIssuesExactTransfersThenClosesOnce) {
    fake_usb::FakeDevice &camera = fake_usb::add_camera(fake_usb::add_bus(), 0x00);

    run_probe();

    std::vector<fake_usb::Call> transfers = fake_usb::calls_named("usb_control_msg");
    ASSERT_EQ(transfers.size(), 3u);
    const usb_dev_handle *handle = fake_usb::calls_named("usb_open").at(0).handle;
    using namespace expected;
    const int sent[3][6] = {
        // request type, request, value, index, size, null buffer
        {kReadRequestType, kReadRequest, 0x0000, kRegister, 1, 0},
        {kWriteRequestType, kWriteRequest, kWrittenValue, kRegister, 0, 1},
        {kReadRequestType, kReadRequest, 0x0000, kRegister, 1, 0},
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("transfer " + std::to_string(i + 1));
        EXPECT_EQ(transfers[i].handle, handle);
        EXPECT_EQ(transfers[i].request_type, sent[i][0]);
        EXPECT_EQ(transfers[i].request, sent[i][1]);
        EXPECT_EQ(transfers[i].value, sent[i][2]);
        EXPECT_EQ(transfers[i].index, sent[i][3]);
        EXPECT_EQ(transfers[i].size, sent[i][4]);
        EXPECT_EQ(transfers[i].null_buffer, sent[i][5] == 1);
        EXPECT_EQ(transfers[i].timeout, kTimeoutMs);
    }
    std::vector<std::string> names = fake_usb::call_names();
    EXPECT_EQ(names.back(), "usb_close");
    EXPECT_EQ(fake_usb::calls().back().handle, handle);
    EXPECT_EQ(fake_usb::open_handles(), 0);
    EXPECT_EQ(fake_usb::bad_closes(), 0);
    EXPECT_EQ(camera.register_value, kWrittenValue);
}

TEST_F(ProbeTest, FailedReadsShowTheLastDeliveredByteEvenFromAnEarlierCamera) {
    struct usb_bus *bus = fake_usb::add_bus();
    fake_usb::FakeDevice &first = fake_usb::add_camera(bus);
    first.script = {Reply{-32, std::nullopt}, Reply{0, std::nullopt}, Reply{1, 0x9A}};
    fake_usb::FakeDevice &second = fake_usb::add_camera(fake_usb::add_bus());
    second.script = {Reply{-110, std::nullopt}, Reply{0, std::nullopt}, Reply{0, std::nullopt}};

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    // The preset space before any byte arrives; 0x9A in two small digits;
    // the second camera's failed and empty reads keep the first's byte.
    EXPECT_EQ(run.output, kAnnouncement + result_line(-32, expected::kPresetHex) +
                              result_line(1, "9a") + kAnnouncement + result_line(-110, "9a") +
                              result_line(0, "9a"));
}

TEST_F(ProbeTest, RejectedWriteStillReadsBackTheUnchangedRegister) {
    fake_usb::FakeDevice &camera = fake_usb::add_camera(fake_usb::add_bus(), 0x42);
    camera.script = {Reply{1, 0x42}, Reply{-32, std::nullopt}, Reply{1, 0x42}};

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kAnnouncement + result_line(1, "42") + result_line(1, "42"));
    EXPECT_EQ(fake_usb::calls_named("usb_control_msg").size(), 3u);
    EXPECT_EQ(fake_usb::calls_named("usb_close").size(), 1u);
}

TEST_F(ProbeTest, CameraThatCannotBeOpenedIsReportedAndTheWalkGoesOn) {
    struct usb_bus *bus = fake_usb::add_bus();
    fake_usb::add_camera(bus).open_fails = true;
    fake_usb::FakeDevice &working = fake_usb::add_camera(bus, 0x07);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, kAnnouncement + expected::kOpenFailed + kAnnouncement +
                              result_line(1, "07") + result_line(1, expected::kWrittenHex));
    for (const fake_usb::Call &call : fake_usb::calls()) {
        if (call.function == "usb_control_msg" || call.function == "usb_close") {
            EXPECT_EQ(call.device, &working.record) << call.function;
        }
    }
    EXPECT_EQ(fake_usb::calls_named("usb_close").size(), 1u);
    EXPECT_EQ(fake_usb::bad_closes(), 0);
}

}  // namespace
