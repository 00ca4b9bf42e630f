// SPDX-License-Identifier: MIT
// The documents' tables of what camera-probe prints, made from the scenario
// registry: docs/results.md whole, and the tables that other documents hold
// between a pair of markers,
//   <!-- registry table: NAME -->
//   ...
//   <!-- end of registry table -->
// A unit test holds every document to them; write-doc-tables writes them.
#ifndef CAMERA_PROBE_TESTS_REGISTRY_DOC_TABLES_H
#define CAMERA_PROBE_TESTS_REGISTRY_DOC_TABLES_H

#include <string>
#include <vector>

namespace registry {

// The documents made or filled from the registry, relative to the source
// tree, and the tables each must hold (none: the whole file is the table of
// every column of the registry, docs/results.md).
struct GeneratedDocument {
    std::string path;
    std::vector<std::string> tables;
};
const std::vector<GeneratedDocument> &generated_documents();

// `document`, whose text is now `text`, as the registry makes it: the text
// between each pair of markers made anew. Throws for a marker without its
// end or naming no table.
std::string made_anew(const GeneratedDocument &document, const std::string &text);

// A file's text, byte for byte; throws where it cannot be read.
std::string read_text_file(const std::string &path);

}  // namespace registry

#endif
