// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "fake_usb.h"
#include "probe_expectations.h"
#include "probe_output.h"

namespace {

// What the tool prints, camera after camera and bus after bus, the fake
// libusb's column of the registry checks (registry/fake_libusb_column_test),
// and random topologies (unit_random_test); here, the calls themselves.

// The start-up's calls, in order, up to the walk or to the scan that
// failed: only a negative result is a failure, whose message is all the
// run prints; a scan's 0 ("nothing new") is none.
TEST(Probe, StartsUpWithDebugLevelZeroAndStopsOnlyAtANegativeScan) {
    const std::vector<std::string> start_up = {"usb_set_debug", "usb_init", "usb_find_busses",
                                               "usb_find_devices", "usb_get_busses"};
    // The two scans' results, what the run prints and how many start-up calls it makes.
    const std::tuple<int, int, std::string, std::size_t> cases[] = {
        {1, 1, expected::healthy_camera("00"), 5},
        {0, 0, expected::healthy_camera("00"), 5},
        {-2, 1, expected::kNoBuses, 3},
        {3, -1, expected::kNoDevices, 4}};
    for (const auto &[busses, devices, output, made] : cases) {
        SCOPED_TRACE(std::to_string(busses) + ", " + std::to_string(devices));
        fake_usb::reset();
        fake_usb::add_camera(fake_usb::add_bus());
        fake_usb::set_scan_results(busses, devices);

        ProbeOutcome run = run_probe();

        EXPECT_EQ(run.output, output);
        EXPECT_EQ(run.status, made == start_up.size() ? 0 : expected::kScanFailedExit);
        std::vector<std::string> names = fake_usb::call_names();
        names.resize(std::min(names.size(), start_up.size()));
        EXPECT_EQ(names, std::vector<std::string>(start_up.begin(), start_up.begin() + made));
        EXPECT_EQ(fake_usb::calls().front().debug_level, 0);
    }
}

TEST(Probe, ExchangeIssuesExactTransfersThenClosesOnce) {
    fake_usb::reset();
    fake_usb::FakeDevice &camera = fake_usb::add_camera(fake_usb::add_bus(), 0x00);

    run_probe();

    const usb_dev_handle *handle = fake_usb::calls_named("usb_open").at(0).handle;
    // Handle, request type, request, value, index, size, null buffer, timeout.
    using Sent = std::tuple<const usb_dev_handle *, int, int, int, int, int, bool, int>;
    std::vector<Sent> sent;
    for (const fake_usb::Call &call : fake_usb::calls_named("usb_control_msg")) {
        sent.emplace_back(call.handle, call.request_type, call.request, call.value, call.index,
                          call.size, call.null_buffer, call.timeout);
    }
    using namespace expected;
    EXPECT_EQ(sent,
              (std::vector<Sent>{
                  {handle, kReadRequestType, kReadRequest, 0, kRegister, 1, false, kTimeoutMs},
                  {handle, kWriteRequestType, kWriteRequest, kWrittenValue, kRegister, 0, true,
                   kTimeoutMs},
                  {handle, kReadRequestType, kReadRequest, 0, kRegister, 1, false, kTimeoutMs},
              }));
    EXPECT_EQ(fake_usb::call_names().back(), "usb_close");
    EXPECT_EQ(fake_usb::calls().back().handle, handle);
    EXPECT_EQ(fake_usb::open_handles(), 0);
    EXPECT_EQ(fake_usb::bad_closes(), 0);
    EXPECT_EQ(camera.register_value, kWrittenValue);
}

}  // namespace
