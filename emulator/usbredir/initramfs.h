// SPDX-License-Identifier: MIT
// The per-run part of the guest's initramfs: a cpio archive ("newc", the
// format the kernel unpacks) that the kernel unpacks over the base image,
// holding /init and the programs to run with the shared libraries they
// load on this host.
#ifndef USB_EMULATOR_USBREDIR_INITRAMFS_H
#define USB_EMULATOR_USBREDIR_INITRAMFS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace usb_emulator {

class CpioArchive {
  public:
    // Parent directories are added as needed; each path once.
    void add_file(const std::string &path, const std::string &contents, std::uint32_t mode);
    void add_host_file(const std::string &path, const std::string &host_path, std::uint32_t mode);
    // The archive with its trailer.
    std::string bytes() const;

  private:
    void add_directories_above(const std::string &path);
    void add_entry(const std::string &path, std::uint32_t mode, const std::string &contents);

    std::string archive_;
    std::set<std::string> paths_;
    std::uint32_t next_inode_ = 1;
};

struct SharedLibrary {
    std::string name;       // as the program asks for it, e.g. libusb-0.1.so.4
    std::string host_path;  // the file the host's loader would map
};

// The shared libraries `program` loads here, as the host's dynamic loader
// resolves them with `environment` (LD_LIBRARY_PATH above all), and its
// loader; none for a static program.
std::vector<SharedLibrary> shared_libraries_of(const std::string &program, std::string &loader,
                                               const std::vector<std::string> &environment);

std::string read_host_file(const std::string &path);

}  // namespace usb_emulator

#endif
