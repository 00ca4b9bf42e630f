// SPDX-License-Identifier: MIT
#include "initramfs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "process.h"

namespace usb_emulator {

namespace {

constexpr std::uint32_t kDirectory = 0040000;
constexpr std::uint32_t kRegularFile = 0100000;

void pad_to_four(std::string &bytes) {
    bytes.append((4 - bytes.size() % 4) % 4, '\0');
}

// One "newc" header: magic, then 13 fields of 8 hexadecimal digits.
std::string newc_header(std::uint32_t inode, std::uint32_t mode, std::size_t file_size,
                        std::size_t name_size) {
    char header[111];
    std::snprintf(header, sizeof header,
                  "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", inode, mode, 0u, 0u,
                  1u, 0u, static_cast<unsigned>(file_size), 0u, 0u, 0u, 0u,
                  static_cast<unsigned>(name_size), 0u);
    return std::string(header, 110);
}

}  // namespace

std::string read_host_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void CpioArchive::add_entry(const std::string &path, std::uint32_t mode,
                            const std::string &contents) {
    std::string name = path.substr(1);  // archive names are relative
    archive_ += newc_header(next_inode_++, mode, contents.size(), name.size() + 1);
    archive_ += name;
    archive_ += '\0';
    pad_to_four(archive_);
    archive_ += contents;
    pad_to_four(archive_);
}

void CpioArchive::add_directories_above(const std::string &path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string directory = path.substr(0, slash);
        if (paths_.insert(directory).second) {
            add_entry(directory, kDirectory | 0755, "");
        }
    }
}

void CpioArchive::add_file(const std::string &path, const std::string &contents,
                           std::uint32_t mode) {
    if (path.empty() || path[0] != '/') {
        throw std::invalid_argument("archive paths are absolute: " + path);
    }
    if (!paths_.insert(path).second) {
        return;
    }
    add_directories_above(path);
    add_entry(path, kRegularFile | mode, contents);
}

void CpioArchive::add_host_file(const std::string &path, const std::string &host_path,
                                std::uint32_t mode) {
    add_file(path, read_host_file(host_path), mode);
}

std::string CpioArchive::bytes() const {
    std::string archive = archive_;
    std::string trailer = "TRAILER!!!";
    archive += newc_header(0, 0, 0, trailer.size() + 1) + trailer + '\0';
    pad_to_four(archive);
    return archive;
}

// ldd prints "name => /path (address)" for each library and "/path
// (address)" for the loader.
std::vector<SharedLibrary> shared_libraries_of(const std::string &program, std::string &loader,
                                               const std::vector<std::string> &environment) {
    // ldd says "not a dynamic executable" on its standard error.
    ProcessResult ldd = run_process({"sh", "-c", "exec ldd \"$0\" 2>&1", program}, environment);
    if (ldd.output.find("not a dynamic executable") != std::string::npos) {
        return {};
    }
    if (ldd.exec_error != 0 || ldd.exit_status != 0) {
        throw std::runtime_error("ldd " + program + " failed: " + ldd.output);
    }
    std::vector<SharedLibrary> libraries;
    std::istringstream lines(ldd.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, arrow, path;
        words >> first >> arrow >> path;
        if (arrow == "=>") {
            // A relative LD_LIBRARY_PATH entry gives a path relative to here.
            std::error_code error;
            if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
                throw std::runtime_error(program + ": " + first + " is not found on this host");
            }
            libraries.push_back(SharedLibrary{first, std::filesystem::absolute(path).string()});
        } else if (!first.empty() && first[0] == '/') {
            loader = first;
        }
    }
    return libraries;
}

}  // namespace usb_emulator
