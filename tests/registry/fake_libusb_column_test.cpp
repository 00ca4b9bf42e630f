// SPDX-License-Identifier: MIT
// The registry's fake-libusb column: each row's script played on the unit
// tests' in-memory libusb, and the tool's own code run against it.
#include <gtest/gtest.h>

#include <string>

#include "fake_usb.h"
#include "fake_usb_script.h"
#include "probe_output.h"
#include "scenarios.h"

namespace registry {
namespace {

class FakeLibusbColumn : public ::testing::TestWithParam<Scenario> {
  protected:
    static void SetUpTestSuite() { print_not_run_on(Stack::fake_libusb); }
    void SetUp() override { fake_usb::reset(); }
};

TEST_P(FakeLibusbColumn, ProbeOnTheFakeLibusb) {
    const Scenario &row = GetParam();
    const Result &cell = row.on(Stack::fake_libusb);
    fake_usb::play_script(row.script);

    ProbeOutcome run = run_probe();

    EXPECT_EQ(run.output, expected_output(cell));
    EXPECT_EQ(run.status, cell.exit_status);
    EXPECT_EQ(fake_usb::open_handles(), 0);
    EXPECT_EQ(fake_usb::bad_closes(), 0);
}

INSTANTIATE_TEST_SUITE_P(Registry, FakeLibusbColumn,
                         ::testing::ValuesIn(runs_on(Stack::fake_libusb)),
                         [](const ::testing::TestParamInfo<Scenario> &param) {
                             return param.param.name;
                         });

TEST(FakeUsbScript, StatementsItCannotFollowAreRefused) {
    fake_usb::reset();
    EXPECT_THROW(fake_usb::play_script("camera"), std::invalid_argument);
    EXPECT_THROW(fake_usb::play_script("bus; device 05a9"), std::invalid_argument);
    EXPECT_THROW(fake_usb::play_script("bus; camera 0x100"), std::invalid_argument);
    EXPECT_THROW(fake_usb::play_script("bus; reply 1"), std::invalid_argument);
    EXPECT_THROW(fake_usb::play_script("bus; wiggle"), std::invalid_argument);
}

}  // namespace
}  // namespace registry
