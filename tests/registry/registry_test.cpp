// SPDX-License-Identifier: MIT
// The scenario registry itself: every row says something for every stack,
// is found by its name, and renders what the probe prints with the probe
// byte carried from one read, and one camera, to the next.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "probe_expectations.h"
#include "scenarios.h"

namespace registry {
namespace {

using expected::kAnnouncement;
using expected::result_line;

TEST(ScenarioRegistry, EveryRowIsWholeFoundByNameAndOnTheDoubleOnlyWhereWindowsCannot) {
    std::set<std::string> names;
    for (const Scenario &row : scenarios()) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(names.insert(row.name).second) << "a second row of that name";
        EXPECT_EQ(&scenario(row.name), &row);
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
        // The double runs a row only where the fake libusb prints the same
        // and libusb-win32's own stack cannot: what that stack shows, it
        // shows for real.
        const Result &dll_double = row.on(Stack::libusb0_double);
        if (dll_double.applies()) {
            const Result &fake = row.on(Stack::fake_libusb);
            EXPECT_TRUE(fake.applies());
            EXPECT_EQ(expected_output(fake), expected_output(dll_double));
            EXPECT_EQ(fake.exit_status, dll_double.exit_status);
            EXPECT_FALSE(row.on(Stack::wine_stack).applies());
        }
    }
    EXPECT_EQ(scenario("StalledSecondRead").cameras.at(0).fault, "stall-second-read");
    EXPECT_THROW(scenario("NoSuchRow"), std::out_of_range);
    for (Stack stack : kStacks) {
        EXPECT_EQ(runs_on(stack).size() + not_run_on(stack).size(), scenarios().size());
    }
}

// The renderer, on cells made here rather than on the table's rows: a
// failed read shows the byte before it, across reads and cameras.
TEST(ScenarioRegistry, OutputCarriesTheProbeByteAndTakesWhatTheDriverLeftFromTheRun) {
    CameraOutput stalls_then_reads = reads(keeps(-32), delivers(1, 0x15));
    EXPECT_EQ(expected_output(prints({stalls_then_reads, stalls_then_reads})),
              kAnnouncement + result_line(-32, "20") + result_line(1, "15") + kAnnouncement +
                  result_line(-32, "15") + result_line(1, "15"));

    std::uint8_t probe_byte = 0x7E;
    EXPECT_EQ(expected_output(prints({reads(delivers(1, 0x00), keeps(-32))}), probe_byte),
              kAnnouncement + result_line(1, "00") + result_line(-32, "00"));
    EXPECT_EQ(probe_byte, 0x00);

    EXPECT_EQ(expected_output(prints({open_fails(), healthy(0x07)})),
              kAnnouncement + expected::kOpenFailed + expected::healthy_camera("07"));
    Result scan_failed = prints({healthy(0x07)});
    scan_failed.scan_failure = expected::kNoBuses;
    EXPECT_EQ(expected_output(scan_failed), expected::kNoBuses);

    // Beside the webcam driver the byte comes from the run: without it the
    // row cannot be rendered, and a camera-probe that printed 0x15 there
    // would be taken for right.
    Result beside_driver = prints({reads(delivers_what_the_driver_left(), delivers(1, 0x15))});
    EXPECT_EQ(expected_output(beside_driver, {0x27}),
              kAnnouncement + result_line(1, "27") + result_line(1, "15"));
    EXPECT_THROW(expected_output(beside_driver), std::logic_error);
}

}  // namespace
}  // namespace registry
