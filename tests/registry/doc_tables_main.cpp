// SPDX-License-Identifier: MIT
// Writes the documents' registry tables again:
//   write-doc-tables SOURCE_DIR
// docs/results.md whole, and the marked tables of the other documents.
#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>

#include "doc_tables.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SOURCE_DIR\n", argv[0]);
        return 2;
    }
    try {
        for (const registry::GeneratedDocument &document : registry::generated_documents()) {
            std::string path = std::string(argv[1]) + "/" + document.path;
            std::string text = registry::read_text_file(path);
            std::string made = registry::made_anew(document, text);
            if (made == text) {
                continue;
            }
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            if (!(file << made) || !file.flush()) {
                throw std::runtime_error("cannot write " + path);
            }
            std::printf("write-doc-tables: wrote %s\n", path.c_str());
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "write-doc-tables: %s\n", error.what());
        return 1;
    }
    return 0;
}
