// SPDX-License-Identifier: MIT
// Cameras that lie: descriptors with wrong lengths, no configuration or
// too many, a descriptor of length 0, a read answered with more than it
// asked for. Each camera shares the testbed with a healthy one, and the
// testbed shows the libraries the lie as the device tells it. camera-probe
// itself must come through every one; where a library does not, the
// expectation names the library and what it does.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

using usb_emulator::DescriptorLie;

// What a library makes of the lying camera.
struct LyingOutcome {
    // The camera is in the library's device list, so it is announced and
    // probed; the two reads' results and bytes ("" for the byte the probe
    // byte held before) follow.
    bool listed = true;
    int first_result = 1;
    std::string first_byte = "5a";
    int second_result = 1;
    std::string second_byte = expected::kWrittenHex;
    // A library that crashes inside usb_find_devices(): the signal that
    // ends camera-probe, and the library's fault, for the report.
    int crash_signal = 0;
    const char *library_fault = nullptr;
    // Why the testbed cannot show this library the lie, where it cannot.
    const char *not_on_testbed = nullptr;
};

// Lists the camera and probes it like any other.
const LyingOutcome kProbedAsUsual{};

LyingOutcome not_listed() {
    LyingOutcome outcome;
    outcome.listed = false;
    return outcome;
}

LyingOutcome crashes(int signal, const char *library_fault) {
    LyingOutcome outcome;
    outcome.crash_signal = signal;
    outcome.library_fault = library_fault;
    return outcome;
}

// Both reads fail as usbfs reports babble; the probe byte keeps what it had.
LyingOutcome reads_overflow() {
    LyingOutcome outcome;
    outcome.first_result = -EOVERFLOW;
    outcome.first_byte = "";
    outcome.second_result = -EOVERFLOW;
    outcome.second_byte = "";
    return outcome;
}

LyingOutcome not_on_testbed(const char *reason) {
    LyingOutcome outcome;
    outcome.not_on_testbed = reason;
    return outcome;
}

constexpr int kSegv = 11;

// A crash shows as the signal's status, also under valgrind, which passes
// the signal on; AddressSanitizer reports the library's access itself and
// exits 1.
int crash_status(int signal) {
#ifdef CAMERA_PROBE_SANITIZED
    (void)signal;
    return 1;
#else
    return 128 + signal;
#endif
}

struct LyingCase {
    const char *name;
    CameraConfig config;
    ByLibusb<LyingOutcome> outcome;
};

void PrintTo(const LyingCase &lying, std::ostream *out) {
    *out << lying.name;
}

CameraConfig lying(DescriptorLie lie) {
    CameraConfig config = camera_config(0x5A);
    config.descriptor_lie = lie;
    return config;
}

// What camera-probe prints for the lying camera, given the probe byte it
// finds when it gets there.
std::string lying_camera_text(const LyingOutcome &outcome, const std::string &stale) {
    auto byte = [&](const std::string &shown) { return shown.empty() ? stale : shown; };
    return kAnnouncement + result_line(outcome.first_result, byte(outcome.first_byte)) +
           result_line(outcome.second_result, byte(outcome.second_byte));
}

class LyingDevices : public ::testing::TestWithParam<LyingCase> {};

TEST_P(LyingDevices, CameraProbeComesThroughAndEachLibraryDoesWhatItSays) {
    const LyingCase &lying_case = GetParam();
    Libusb libusb = libusb_under_test();
    const LyingOutcome &expected = lying_case.outcome.on(libusb);
    if (expected.not_on_testbed != nullptr) {
        GTEST_SKIP() << libusb_name(libusb) << ": " << expected.not_on_testbed;
    }
    UsbfsTestbed testbed;
    int first_bus = testbed.add_bus();
    int second_bus = testbed.add_bus();
    DeviceRef liar = testbed.add_camera(first_bus, lying_case.config);
    DeviceRef healthy = testbed.add_camera(second_bus, camera_config(0x07));

    ProgramRun run = run_camera_probe(testbed);

    if (expected.crash_signal != 0) {
        EXPECT_EQ(run.process.exit_status, crash_status(expected.crash_signal))
            << libusb_name(libusb) << " was expected to crash: " << expected.library_fault;
        EXPECT_EQ(run.process.output, "");
        EXPECT_EQ(unexpected_transfers(testbed, {}), std::vector<std::string>{});
        return;
    }
    EXPECT_EQ(run.process.exit_status, 0);
    bool liar_first = !run.transfer_order.empty() && run.transfer_order[0] == liar;
    std::string healthy_text = healthy_camera("07");
    std::string expected_output = healthy_text;
    if (expected.listed) {
        std::string liar_text =
            lying_camera_text(expected, liar_first ? expected::kPresetHex : expected::kWrittenHex);
        expected_output = liar_first ? liar_text + healthy_text : healthy_text + liar_text;
    }
    EXPECT_EQ(run.process.output, expected_output);
    EXPECT_EQ(transfer_texts(testbed, liar),
              expected.listed ? exchange_transfers() : std::vector<std::string>{});
    EXPECT_EQ(transfer_texts(testbed, healthy), exchange_transfers());
    EXPECT_EQ(unexpected_transfers(testbed, {liar, healthy}), std::vector<std::string>{});
}

// libusb-1.0 1.0.26's parse_interface() gives an interface whose endpoint
// descriptor is cut short bNumEndpoints 1 and no endpoint array; libusb-
// compat-0.1's copy_interface_descriptor() reads that array.
const char kCompatCopiesMissingEndpoints[] =
    "libusb-1.0 parse_interface() returns bNumEndpoints 1 with a null endpoint array, "
    "libusb-compat copy_interface_descriptor() reads it (SIGSEGV)";
// libusb 0.1.12's usb_os_find_devices() allocates wTotalLength bytes, copies
// the 8 it read into them and reads wTotalLength - 8 more: for 4, a heap
// overflow and a read of (size_t)-4 bytes. umockdev answers reads of the
// node in the testbed's own process, and aborts it allocating that much.
const char kOriginalOverrunsTinyConfiguration[] =
    "libusb 0.1.12's usb_os_find_devices() copies 8 bytes into a 4-byte buffer and asks "
    "the node for (size_t)-4 more, which aborts umockdev's ioctl server in this process";

INSTANTIATE_TEST_SUITE_P(
    EveryLie, LyingDevices,
    ::testing::Values(
        LyingCase{"HonestDescriptors", lying(DescriptorLie::none), kProbedAsUsual},
        LyingCase{"TotalLengthOneByteShort",
                  lying(DescriptorLie::total_length_short),
                  {kProbedAsUsual, crashes(kSegv, kCompatCopiesMissingEndpoints)}},
        LyingCase{"TotalLengthTooLong", lying(DescriptorLie::total_length_long), kProbedAsUsual},
        // libusb-1.0 refuses a wTotalLength below 9 and leaves the device out.
        LyingCase{"TotalLengthShorterThanItsHeader",
                  lying(DescriptorLie::total_length_tiny),
                  {not_on_testbed(kOriginalOverrunsTinyConfiguration), not_listed()}},
        LyingCase{"NoConfigurations", lying(DescriptorLie::no_configurations), kProbedAsUsual},
        // libusb 0.1.12 leaves the configurations of a device with more than
        // eight unread; libusb-1.0 leaves such a device out.
        LyingCase{"NineConfigurations",
                  lying(DescriptorLie::many_configurations),
                  {kProbedAsUsual, not_listed()}},
        // libusb-1.0 finds no second configuration and leaves the device out.
        LyingCase{"ClaimsAConfigurationItLacks",
                  lying(DescriptorLie::missing_configuration),
                  {kProbedAsUsual, not_listed()}},
        // libusb-1.0 cannot parse the configuration; libusb-compat then
        // leaves the device out, without freeing it.
        LyingCase{"EndpointOfLengthZero",
                  lying(DescriptorLie::endpoint_length_zero),
                  {kProbedAsUsual, not_listed()}},
        // A read answered with a byte more than it asked for: the host
        // controller sees babble. libusb-1.0's LIBUSB_ERROR_OVERFLOW
        // becomes the same EOVERFLOW in libusb-compat.
        LyingCase{"ReadsAnsweredWithAByteTooMany",
                  camera_config(0x5A, {FaultAction::long_read, FaultTarget::every_read}),
                  reads_overflow()}),
    [](const ::testing::TestParamInfo<LyingCase> &param) { return param.param.name; });

}  // namespace
}  // namespace e2e
