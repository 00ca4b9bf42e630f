// SPDX-License-Identifier: MIT
#include "fake_usb_script.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "registry/result_codes.h"

namespace fake_usb {

namespace {

// A script the fake cannot follow is a broken test: say where.
[[noreturn]] void reject(const std::string &statement, const std::string &why) {
    throw std::invalid_argument(why + " in \"" + statement + "\"");
}

// A number of the type's range, in C notation or, for IDs, hexadecimal.
template <typename Number>
Number parse(const std::string &word, const std::string &statement, int base = 0) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(word.c_str(), &end, base);
    if (word.empty() || *end != '\0' || errno != 0 || value < std::numeric_limits<Number>::min() ||
        value > std::numeric_limits<Number>::max()) {
        reject(statement, "bad number \"" + word + "\"");
    }
    return static_cast<Number>(value);
}

// The faults' results, delivering no byte.
const std::map<std::string, int> kNamedResults = {{"stall", libusb_win32::kStalled},
                                                  {"gone", libusb_win32::kGone}};

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
            fake_usb::set_scan_results(parse<int>(words[1], statement),
                                       parse<int>(words[2], statement));
        } else if (command == "bus" && arguments == 0) {
            bus_ = fake_usb::add_bus();
        } else if (command == "device" && arguments == 1) {
            const std::size_t colon = words[1].find(':');
            if (colon == std::string::npos) {
                reject(statement, "IDs not written VVVV:PPPP");
            }
            device_ = &fake_usb::add_device(
                last_bus(statement), parse<std::uint16_t>(words[1].substr(0, colon), statement, 16),
                parse<std::uint16_t>(words[1].substr(colon + 1), statement, 16));
        } else if (command == "camera" && arguments <= 1) {
            const unsigned char held =
                arguments == 1 ? parse<unsigned char>(words[1], statement) : 0x00;
            device_ = &fake_usb::add_camera(last_bus(statement), held);
        } else if (command == "reply" && arguments == 1 && kNamedResults.count(words[1])) {
            last_device(statement).script.push_back(
                fake_usb::Reply{kNamedResults.at(words[1]), {}});
        } else if (command == "reply" && (arguments == 1 || arguments == 2)) {
            const auto byte = arguments == 2
                                  ? std::optional(parse<unsigned char>(words[2], statement))
                                  : std::nullopt;
            last_device(statement).script.push_back(
                fake_usb::Reply{parse<int>(words[1], statement), byte});
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

}  // namespace

void play_script(const std::string &script) {
    ScenarioBuilder builder;
    std::size_t start = 0;
    while (start <= script.size()) {
        std::size_t end = std::min(script.find_first_of(";\n", start), script.size());
        builder.apply(script.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace fake_usb
