// SPDX-License-Identifier: MIT
// The emulator's URB dialect, proven with a libusb-1.0 client running the
// camera exchange: the path libusb-compat-0.1 takes on other distributions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

#ifndef LIBUSB1_EXCHANGE_BINARY
#error "LIBUSB1_EXCHANGE_BINARY must name the built libusb-1.0 client"
#endif

namespace e2e {
namespace {

// libusb-1.0 error codes, as the client prints them.
constexpr int kErrorNoDevice = -4;
constexpr int kErrorTimeout = -7;
constexpr int kErrorPipe = -9;

struct DialectCase {
    const char *name;
    CameraFault fault;
    std::string expected;
};

void PrintTo(const DialectCase &dialect, std::ostream *out) {
    *out << dialect.name;
}

class Libusb1Dialect : public ::testing::TestWithParam<DialectCase> {};

TEST_P(Libusb1Dialect, ExchangeThroughUrbs) {
    const DialectCase &dialect = GetParam();
    UsbfsTestbed testbed;
    int bus = testbed.add_bus();
    testbed.add_device(bus, kVendorId, 0x1234);
    DeviceRef camera = testbed.add_camera(bus, camera_config(0x5C, dialect.fault));

    // A short timeout so a camera that never answers costs little.
    ProgramRun run = run_program(testbed, {LIBUSB1_EXCHANGE_BINARY, "300"});

    EXPECT_EQ(run.process.output, dialect.expected);
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(transfer_texts(testbed, camera), exchange_setups());
    EXPECT_EQ(unexpected_transfers(testbed, {camera}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    UrbOutcomes, Libusb1Dialect,
    ::testing::Values(DialectCase{"Healthy", {}, healthy_camera("5c")},
                      DialectCase{"StalledFirstRead",
                                  {FaultAction::stall, FaultTarget::first_read},
                                  kAnnouncement + result_line(kErrorPipe, expected::kPresetHex) +
                                      result_line(1, expected::kWrittenHex)},
                      DialectCase{"ZeroLengthReads",
                                  {FaultAction::zero_length, FaultTarget::every_read},
                                  kAnnouncement + result_line(0, expected::kPresetHex) +
                                      result_line(0, expected::kPresetHex)},
                      DialectCase{"NoAnswerToFirstRead",
                                  {FaultAction::no_answer, FaultTarget::first_read},
                                  kAnnouncement + result_line(kErrorTimeout, expected::kPresetHex) +
                                      result_line(1, expected::kWrittenHex)},
                      DialectCase{"UnpluggedAtFirstRead",
                                  {FaultAction::unplug, FaultTarget::first_read},
                                  kAnnouncement +
                                      result_line(kErrorNoDevice, expected::kPresetHex) +
                                      result_line(kErrorNoDevice, expected::kPresetHex)}),
    [](const ::testing::TestParamInfo<DialectCase> &param) { return param.param.name; });

}  // namespace
}  // namespace e2e
