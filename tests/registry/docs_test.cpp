// SPDX-License-Identifier: MIT
// The documents say only what the registry holds: their tables are the
// registry's own, every example output is what the registry prints for a
// row, every result code or exit status they name is one that some row's
// cell gives, and every errno they name stands beside its own result.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "doc_tables.h"
#include "probe_expectations.h"
#include "scenarios.h"

#ifndef CAMERA_PROBE_SOURCE_DIR
#error "CAMERA_PROBE_SOURCE_DIR must name the source tree"
#endif

namespace registry {
namespace {

std::string read_source(const std::string &path) {
    return read_text_file(std::string(CAMERA_PROBE_SOURCE_DIR) + "/" + path);
}

// What users read: they name exit statuses too.
const std::vector<std::string> kUsersDocuments = {
    "README.md", "man/camera-probe.1.in", "packaging/windows/README-windows.txt", "debian/control"};

std::vector<std::string> every_document() {
    std::vector<std::string> paths = kUsersDocuments;
    for (const auto &entry :
         std::filesystem::directory_iterator(std::string(CAMERA_PROBE_SOURCE_DIR) + "/docs")) {
        if (entry.path().extension() == ".md") {
            paths.push_back("docs/" + entry.path().filename().string());
        }
    }
    return paths;
}

TEST(Documents, TheirTablesAreTheRegistrysOwn) {
    for (const GeneratedDocument &document : generated_documents()) {
        SCOPED_TRACE(document.path);
        std::string text = read_source(document.path);
        for (const std::string &table : document.tables) {
            EXPECT_NE(text.find("<!-- registry table: " + table + " -->"), std::string::npos)
                << "no table " << table;
        }
        EXPECT_TRUE(text == made_anew(document, text))
            << "its tables are not the registry's: make doc-tables";
    }
}

// A line of camera-probe's output, as a document shows it in an example.
bool is_output_line(const std::string &line) {
    for (const std::string &start :
         {expected::kAnnouncement.substr(0, 12), std::string("usb_control_msg() returned "),
          expected::kOpenFailed.substr(1)}) {
        if (line.rfind(start, 0) == 0) {
            return line.find_first_of("<\\`") == std::string::npos;
        }
    }
    return false;
}

// Each run of output lines a document shows that starts with an
// announcement and goes on past it, its indentation taken off and its lines
// joined as camera-probe prints them.
void keep_example(std::vector<std::string> &examples, std::string &example) {
    if (example.find('\n') != std::string::npos) {
        examples.push_back(example);
    }
    example.clear();
}

std::vector<std::string> example_outputs(const std::string &text) {
    std::vector<std::string> examples;
    std::istringstream lines(text);
    std::string example;
    for (std::string line; std::getline(lines, line);) {
        line.erase(0, line.find_first_not_of(" \t"));
        if (is_output_line(line) &&
            (!example.empty() || line.rfind(expected::kAnnouncement, 0) == 0)) {
            example += (example.empty() ? "" : "\n") + line;
            continue;
        }
        keep_example(examples, example);
    }
    keep_example(examples, example);
    return examples;
}

// What the registry's cells give: the outputs (but those holding what the
// webcam driver left, which only a run finds out), every result a read
// shows and every exit status.
struct WhatTheRegistryGives {
    std::set<std::string> outputs;
    std::set<int> results;
    std::set<int> statuses;
};

const WhatTheRegistryGives &what_the_registry_gives() {
    static const WhatTheRegistryGives given = [] {
        WhatTheRegistryGives cells;
        for (const Scenario &row : scenarios()) {
            for (Stack stack : kStacks) {
                const Result &cell = row.on(stack);
                bool driver_left = false;
                for (const CameraOutput &camera : cell.cameras) {
                    if (camera.opened) {
                        cells.results.insert({camera.first.result, camera.second.result});
                    }
                    driver_left =
                        driver_left || camera.first.driver_left || camera.second.driver_left;
                }
                if (!cell.applies()) {
                    continue;
                }
                cells.statuses.insert({cell.exit_status, status_seen_by_a_shell(cell)});
                if (!driver_left) {
                    cells.outputs.insert(expected_output(cell));
                }
            }
        }
        return cells;
    }();
    return given;
}

// Each match of `pattern` in `text`, by its matched groups' texts.
std::vector<std::vector<std::string>> matches(const std::string &text, const std::regex &pattern) {
    std::vector<std::vector<std::string>> found;
    for (std::sregex_iterator match(text.begin(), text.end(), pattern), end; match != end;
         ++match) {
        found.emplace_back();
        for (std::size_t group = 1; group < match->size(); ++group) {
            if ((*match)[group].matched) {
                found.back().push_back((*match)[group]);
            }
        }
    }
    return found;
}

// A read's result as the documents name one: after "returned", "returns"
// or "reads", before an errno's name in brackets, or in a list of what a
// negative result means ("-32 a stall").
const std::regex kResultNamed(
    R"((?:returned|returns?) (-?[0-9]+)\b(?! bytes)|reads? (-[0-9]+)|(-[0-9]+) \(`?-?E[A-Z]+|(-[0-9]+) (?:a|an|is) )");
// An exit status as the users' documents name one.
const std::regex kStatusNamed(R"((?:exit status|status|exits with|exit) (-?[0-9]+)\b)");

// The number each match of `pattern` in `text` names.
std::vector<int> numbers_named(const std::string &text, const std::regex &pattern) {
    std::vector<int> numbers;
    for (const auto &groups : matches(text, pattern)) {
        numbers.push_back(std::stoi(groups.front()));
    }
    return numbers;
}

// Each thing `named` finds in the documents at `paths` (`what` names its
// kind) is in `given`, else fails saying `why`; at least `least` found.
template <typename Thing>
void expect_each_named_is_given(const std::vector<std::string> &paths,
                                const std::function<std::vector<Thing>(const std::string &)> &named,
                                const std::set<Thing> &given, const std::string &what,
                                std::size_t least,
                                const std::string &why = "which no row of the registry gives") {
    std::size_t found = 0;
    for (const std::string &path : paths) {
        std::string text = read_source(path);
        if (path.rfind("man/", 0) == 0) {  // groff's \- prints as a hyphen
            text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
        }
        for (const Thing &thing : named(text)) {
            ++found;
            EXPECT_EQ(given.count(thing), 1u)
                << path << " names the " << what << " " << thing << ", " << why;
        }
    }
    EXPECT_GE(found, least);
}

TEST(Documents, EveryExampleOutputIsARowsOutput) {
    // The README, the man page, the Windows README and the testing page.
    expect_each_named_is_given<std::string>(every_document(), example_outputs,
                                            what_the_registry_gives().outputs, "output\n", 4);
}

TEST(Documents, EveryResultCodeTheyNameIsPrintedSomewhere) {
    expect_each_named_is_given<int>(
        every_document(), [](const std::string &text) { return numbers_named(text, kResultNamed); },
        what_the_registry_gives().results, "result", 10);
}

TEST(Documents, EveryExitStatusTheUsersDocumentsNameIsGivenSomewhere) {
    expect_each_named_is_given<int>(
        kUsersDocuments, [](const std::string &text) { return numbers_named(text, kStatusNamed); },
        what_the_registry_gives().statuses, "exit status", 4);
}

// An errno the documents name and the result beside it, "EPIPE -32": from
// "-19 (ENODEV", "-32 a stall (EPIPE)", "(EPERM, -1)" or "ENXIO (-6)".
std::vector<std::string> errnos_named(const std::string &text) {
    static const std::regex number_first(R"((-[0-9]+) (?:\(`?|[a-z][^(),;.]{0,60}\()(E[A-Z]+))");
    static const std::regex name_first(R"((E[A-Z]+)(?:, | \()(-[0-9]+))");
    std::vector<std::string> named;
    for (const auto &groups : matches(text, number_first)) {
        named.push_back(groups[1] + " " + groups[0]);
    }
    for (const auto &groups : matches(text, name_first)) {
        named.push_back(groups[0] + " " + groups[1]);
    }
    return named;
}

TEST(Documents, EachErrnoTheyNameIsTheResultBesideIt) {
    // The errnos the documents may name, by the system's own values: a
    // result is the errno negated.
    const std::pair<const char *, int> kErrnos[] = {
        {"EPERM", EPERM},         {"EIO", EIO},
        {"ENXIO", ENXIO},         {"EACCES", EACCES},
        {"ENODEV", ENODEV},       {"EPIPE", EPIPE},
        {"EOVERFLOW", EOVERFLOW}, {"ESHUTDOWN", ESHUTDOWN},
        {"ETIMEDOUT", ETIMEDOUT}};
    std::set<std::string> errnos;
    for (const auto &[name, value] : kErrnos) {
        errnos.insert(name + (" " + std::to_string(-value)));
    }
    expect_each_named_is_given<std::string>(every_document(), errnos_named, errnos,
                                            "errno and result", 10,
                                            "not one of these errnos beside its value negated");
}

TEST(Documents, TheCheckersFindWhatTheyLookFor) {
    EXPECT_EQ(numbers_named("each transfer returns -13 (EACCES, ...), -32 a stall, returned 1",
                            kResultNamed),
              (std::vector<int>{-13, -32, 1}));
    EXPECT_EQ(numbers_named("exits with 1; exit status 0", kStatusNamed), (std::vector<int>{1, 0}));
    EXPECT_EQ(errnos_named("-110 no answer within 5 s (ETIMEDOUT), (EPERM, -1), ENXIO (-6)"),
              (std::vector<std::string>{"ETIMEDOUT -110", "EPERM -1", "ENXIO -6"}));
    EXPECT_EQ(example_outputs("x\n    " + expected::kAnnouncement +
                              "\n    usb_control_msg() returned 1 -> 0x00\n\ny"),
              std::vector<std::string>{expected::kAnnouncement +
                                       "\nusb_control_msg() returned 1 -> 0x00"});
}

}  // namespace
}  // namespace registry
