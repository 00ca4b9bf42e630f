// SPDX-License-Identifier: MIT
// The documents' tables of what camera-probe prints, made from the scenario
// registry: docs/results.md whole, and the tables that other documents hold
// between a pair of markers,
//   <!-- registry table: NAME -->
//   ...
//   <!-- end of registry table -->
// A unit test holds every document to what is made here; the doc-tables
// target writes them all again.
#ifndef CAMERA_PROBE_TESTS_REGISTRY_DOC_TABLES_H
#define CAMERA_PROBE_TESTS_REGISTRY_DOC_TABLES_H

#include <string>
#include <vector>

namespace registry {

// docs/results.md: every column of the registry, the users' stacks first.
std::string results_table();

// The table named NAME; throws for a name no table has.
std::string registry_table(const std::string &name);

// `document` with the text between each pair of markers made anew. Throws
// for a marker without its end or naming no table.
std::string with_tables_made_anew(const std::string &document);

// The documents made or filled from the registry, relative to the source
// tree, and the tables each must hold.
struct GeneratedDocument {
    std::string path;
    std::vector<std::string> tables;  // empty: the whole file is results_table()
};
const std::vector<GeneratedDocument> &generated_documents();

// A file's text, byte for byte; throws where it cannot be read.
std::string read_text_file(const std::string &path);

}  // namespace registry

#endif
