// SPDX-License-Identifier: MIT
// The emulator's URB dialect, proven with a libusb-1.0 client running the
// camera exchange: the path libusb-compat-0.1 takes on other distributions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

// The registry's libusb-1.0 client column: the row's cameras beside a
// decoy, the client printing what camera-probe would.
class Libusb1Dialect : public ::testing::TestWithParam<registry::Scenario> {
  protected:
    static void SetUpTestSuite() { registry::print_not_run_on(registry::Stack::libusb1_client); }
};

TEST_P(Libusb1Dialect, ExchangeThroughUrbs) {
    const registry::Scenario &row = GetParam();
    UsbfsTestbed testbed;
    std::vector<DeviceRef> cameras = plug_on_bus(testbed, testbed.add_bus(), row);

    // A short timeout so a camera that never answers costs little.
    ProgramRun run = run_program(testbed, {LIBUSB1_EXCHANGE_BINARY, "300"});

    EXPECT_EQ(run.process.output,
              registry::expected_output(row.on(registry::Stack::libusb1_client)));
    EXPECT_EQ(run.process.exit_status, 0);
    expect_only_cameras_saw(testbed, cameras, exchange_setups());
}

INSTANTIATE_TEST_SUITE_P(Registry, Libusb1Dialect,
                         ::testing::ValuesIn(registry::runs_on(registry::Stack::libusb1_client)),
                         NameOfRun());

}  // namespace
}  // namespace e2e
