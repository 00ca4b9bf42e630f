// SPDX-License-Identifier: MIT
// Stands in for qemu-system-x86_64 where a test needs QEMU to fail: finds
// the console and serial socket in GuestVm's command line, says "ready" as
// the guest's /init would, then fails as FAKE_QEMU_FAILURE says:
//   killed-at-run  on the first "run" order, notes it on the console and
//                  kills itself with SIGKILL
//   serial-closed  closes the serial socket, then creates the file that
//                  FAKE_QEMU_CLOSED names, and keeps running
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The path= of the -chardev whose id is `id`.
std::string chardev_path(int argc, char **argv, const std::string &id) {
    for (int i = 1; i + 1 < argc; ++i) {
        std::string value = argv[i + 1];
        if (std::strcmp(argv[i], "-chardev") == 0 &&
            value.find(",id=" + id + ",") != std::string::npos) {
            return value.substr(value.find("path=") + 5);
        }
    }
    return "";
}

int connect_to(const std::string &path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("fake qemu: connect");
        std::exit(1);
    }
    return fd;
}

// Reads the serial line until it has seen `lines` line feeds.
std::string read_lines(int fd, int lines) {
    std::string text;
    char c = 0;
    while (lines > 0 && ::read(fd, &c, 1) == 1) {
        text += c;
        lines -= c == '\n' ? 1 : 0;
    }
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    const char *failure = std::getenv("FAKE_QEMU_FAILURE");
    std::FILE *console = std::fopen(chardev_path(argc, argv, "console").c_str(), "a");
    if (failure == nullptr || console == nullptr) {
        std::fprintf(stderr, "fake qemu: no FAKE_QEMU_FAILURE or no console\n");
        return 1;
    }
    std::setvbuf(console, nullptr, _IONBF, 0);
    std::fputs("fake guest: booted\n", console);
    int serial = connect_to(chardev_path(argc, argv, "agent"));
    const char ready[] = "ready fake-release\n";
    if (::write(serial, ready, sizeof ready - 1) < 0) {
        return 1;
    }
    if (std::strcmp(failure, "serial-closed") == 0) {
        ::close(serial);
        std::fputs("fake qemu: serial port closed\n", stderr);
        if (const char *closed = std::getenv("FAKE_QEMU_CLOSED")) {
            std::fclose(std::fopen(closed, "w"));
        }
        ::sleep(60);
        return 0;
    }
    std::string order = read_lines(serial, 2);
    std::fprintf(console, "fake guest: got %s", order.c_str());
    std::fputs("fake qemu: about to be killed\n", stderr);
    std::fflush(stderr);
    ::raise(SIGKILL);
    return 0;
}
