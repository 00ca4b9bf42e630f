// SPDX-License-Identifier: MIT
// The scenario registry itself: every row says something for every stack,
// is found by its name, and renders what the probe prints with the probe
// byte carried from one read, and one camera, to the next.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "probe_expectations.h"
#include "scenarios.h"

namespace registry {
namespace {

using expected::kAnnouncement;
using expected::result_line;

TEST(ScenarioRegistry, EveryRowHasACellForEveryStackAndRunsSomewhere) {
    std::set<std::string> names;
    for (const Scenario &row : scenarios()) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(names.insert(row.name).second) << "a second row of that name";
        bool runs_somewhere = false;
        for (Stack stack : kStacks) {
            const Result &cell = row.on(stack);
            EXPECT_NE(cell.not_applicable, kUnsetCell) << stack_name(stack);
            runs_somewhere = runs_somewhere || cell.applies();
        }
        EXPECT_TRUE(runs_somewhere);
        bool in_memory =
            row.on(Stack::fake_libusb).applies() || row.on(Stack::libusb0_double).applies();
        EXPECT_EQ(in_memory, !row.script.empty()) << "a script for the in-memory libusbs";
    }
}

TEST(ScenarioRegistry, RowsAreFoundByName) {
    EXPECT_EQ(scenario("StalledSecondRead").name, "StalledSecondRead");
    EXPECT_EQ(scenario("StalledSecondRead").cameras.at(0).fault, "stall-second-read");
    EXPECT_THROW(scenario("NoSuchRow"), std::out_of_range);
    for (Stack stack : kStacks) {
        EXPECT_EQ(runs_on(stack).size() + not_run_on(stack).size(), scenarios().size());
    }
}

TEST(ScenarioRegistry, OutputCarriesTheProbeByteAcrossReadsAndCameras) {
    const Scenario &row = scenario("StalledFirstReadsCarryTheByteIntoTheSecondCamera");
    EXPECT_EQ(expected_output(row.on(Stack::usbfs_libusb012)),
              kAnnouncement + result_line(-32, expected::kPresetHex) +
                  result_line(1, expected::kWrittenHex) + kAnnouncement +
                  result_line(-32, expected::kWrittenHex) + result_line(1, expected::kWrittenHex));

    std::uint8_t probe_byte = 0x7E;
    const Result &second_read_stalls = scenario("StalledSecondRead").on(Stack::usbfs_compat);
    EXPECT_EQ(expected_output(second_read_stalls, probe_byte),
              kAnnouncement + result_line(1, "00") + result_line(-32, "00"));
    EXPECT_EQ(probe_byte, 0x00);

    EXPECT_EQ(expected_output(scenario("CameraThatCannotBeOpened").on(Stack::fake_libusb)),
              kAnnouncement + expected::kOpenFailed + expected::healthy_camera("07"));
    EXPECT_EQ(expected_output(scenario("FailedBusScan").on(Stack::libusb0_double)),
              expected::kNoBuses);
    EXPECT_EQ(scenario("FailedBusScan").on(Stack::libusb0_double).exit_status, -1);
}

// docs/results.md shows the two in-memory libusbs as one: they play the
// same scripts and must print the same.
TEST(ScenarioRegistry, TheInMemoryLibusbsPrintTheSame) {
    for (const Scenario &row : scenarios()) {
        SCOPED_TRACE(row.name);
        const Result &fake = row.on(Stack::fake_libusb);
        const Result &dll_double = row.on(Stack::libusb0_double);
        EXPECT_EQ(fake.applies(), dll_double.applies());
        EXPECT_EQ(expected_output(fake), expected_output(dll_double));
        EXPECT_EQ(fake.exit_status, dll_double.exit_status);
    }
}

}  // namespace
}  // namespace registry
