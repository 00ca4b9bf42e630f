// SPDX-License-Identifier: MIT
// Stands in for a Wine stack's wine64 and wineserver (a test links both
// names to it) where a test needs Wine's start-up to fail or succeed on cue:
//   wineserver ...                   exits 0
//   wine64 .../await-cameras.exe ... says so on stderr and exits with the
//                                    status FAKE_WINE_AWAIT_STATUS gives (0)
//   wine64 PROGRAM ARGS...           runs PROGRAM, a Linux program, in its place
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int await_status() {
    const char *status = std::getenv("FAKE_WINE_AWAIT_STATUS");
    return status != nullptr ? std::atoi(status) : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (ends_with(argv[0], "wineserver")) {
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "fake wine: no program\n");
        return 1;
    }
    if (ends_with(argv[1], "await-cameras.exe")) {
        int status = await_status();
        std::fprintf(stderr, "fake wine: await-cameras.exe exits %d\n", status);
        return status;
    }
    ::execv(argv[1], argv + 1);
    std::perror("fake wine: execv");
    return 127;
}
