// SPDX-License-Identifier: MIT
// Sets up the unit tests' in-memory libusb (fake_usb.cpp) behind the
// libusb0.dll double, from the environment variable LIBUSB0_DOUBLE_SCENARIO,
// when the DLL is loaded: the real camera-probe.exe then runs against a
// scripted USB world. Statements are separated by ';' or new lines:
//
//   scan B D          usb_find_busses() returns B, usb_find_devices() D (1 1 if not given)
//   bus               a new bus, after the others
//   device VVVV:PPPP  a device with these IDs (hexadecimal) on the last bus
//   camera [NN]       a 05A9:2800 camera on the last bus, register holding NN (default 00)
//   reply R [NN]      the last device answers its next transfer with R, delivering byte NN
//   reply stall       ... with what libusb-win32 returns when the device stalls it
//   reply gone        ... with what it returns when the device has been unplugged
//   open-fails        usb_open() of the last device fails
//
// Numbers take C notation (0x15, -5). The named replies are libusb-win32's
// results as measured on its own stack (libusb_win32_results.h). Without
// the variable there are no buses and both scans succeed.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "libusb_win32_results.h"

namespace {

constexpr const char *kScenarioVariable = "LIBUSB0_DOUBLE_SCENARIO";

// A scenario the double cannot follow is a broken test: say why and stop,
// rather than run the tool against something else.
[[noreturn]] void reject(const std::string &statement, const std::string &why) {
    std::fprintf(stderr, "libusb0 double: %s in \"%s\"\n", why.c_str(), statement.c_str());
    std::fflush(stderr);
    std::abort();
}

long parse_number(const std::string &word, int base, long low, long high,
                  const std::string &statement) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(word.c_str(), &end, base);
    if (word.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
        reject(statement, "bad number \"" + word + "\"");
    }
    return value;
}

unsigned char parse_byte(const std::string &word, const std::string &statement) {
    return static_cast<unsigned char>(parse_number(word, 0, 0x00, 0xFF, statement));
}

int parse_int(const std::string &word, const std::string &statement) {
    return static_cast<int>(parse_number(word, 0, -0x7FFFFFFFL, 0x7FFFFFFFL, statement));
}

std::uint16_t parse_id(const std::string &word, const std::string &statement) {
    return static_cast<std::uint16_t>(parse_number(word, 16, 0x0000, 0xFFFF, statement));
}

// A fault's result, delivering no byte.
std::optional<int> named_result(const std::string &word) {
    if (word == "stall") {
        return libusb_win32::kStalled;
    }
    if (word == "gone") {
        return libusb_win32::kGone;
    }
    return std::nullopt;
}

class ScenarioBuilder {
  public:
    void apply(const std::string &statement) {
        std::istringstream words_in(statement);
        std::vector<std::string> words;
        for (std::string word; words_in >> word;) {
            words.push_back(word);
        }
        if (words.empty()) {
            return;
        }
        const std::string &command = words[0];
        const std::size_t arguments = words.size() - 1;
        if (command == "scan" && arguments == 2) {
            fake_usb::set_scan_results(parse_int(words[1], statement),
                                       parse_int(words[2], statement));
        } else if (command == "bus" && arguments == 0) {
            bus_ = fake_usb::add_bus();
        } else if (command == "device" && arguments == 1) {
            const std::size_t colon = words[1].find(':');
            if (colon == std::string::npos) {
                reject(statement, "IDs not written VVVV:PPPP");
            }
            device_ = &fake_usb::add_device(last_bus(statement),
                                            parse_id(words[1].substr(0, colon), statement),
                                            parse_id(words[1].substr(colon + 1), statement));
        } else if (command == "camera" && arguments <= 1) {
            const unsigned char held = arguments == 1 ? parse_byte(words[1], statement) : 0x00;
            device_ = &fake_usb::add_camera(last_bus(statement), held);
        } else if (command == "reply" && arguments == 1 && named_result(words[1])) {
            last_device(statement).script.push_back(fake_usb::Reply{*named_result(words[1]), {}});
        } else if (command == "reply" && (arguments == 1 || arguments == 2)) {
            std::optional<unsigned char> byte;
            if (arguments == 2) {
                byte = parse_byte(words[2], statement);
            }
            last_device(statement).script.push_back(
                fake_usb::Reply{parse_int(words[1], statement), byte});
        } else if (command == "open-fails" && arguments == 0) {
            last_device(statement).open_fails = true;
        } else {
            reject(statement, "unknown statement");
        }
    }

  private:
    struct usb_bus *last_bus(const std::string &statement) const {
        if (bus_ == nullptr) {
            reject(statement, "no bus yet");
        }
        return bus_;
    }

    fake_usb::FakeDevice &last_device(const std::string &statement) const {
        if (device_ == nullptr) {
            reject(statement, "no device yet");
        }
        return *device_;
    }

    struct usb_bus *bus_ = nullptr;
    fake_usb::FakeDevice *device_ = nullptr;
};

std::string trimmed(const std::string &text) {
    const char *blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

void load_scenario() {
    const char *text = std::getenv(kScenarioVariable);
    if (text == nullptr) {
        return;
    }
    ScenarioBuilder builder;
    std::string statement;
    for (const char *c = text;; ++c) {
        if (*c == ';' || *c == '\n' || *c == '\0') {
            builder.apply(trimmed(statement));
            statement.clear();
        } else {
            statement.push_back(*c);
        }
        if (*c == '\0') {
            break;
        }
    }
}

// Runs while the DLL is loaded, before camera-probe's main() starts.
struct ScenarioAtLoad {
    ScenarioAtLoad() { load_scenario(); }
} scenario_at_load;

}  // namespace
