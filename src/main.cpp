// SPDX-License-Identifier: MIT
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define CAMERA_PROBE_ISATTY _isatty
#define CAMERA_PROBE_FILENO _fileno
#else
#include <unistd.h>
#define CAMERA_PROBE_ISATTY isatty
#define CAMERA_PROBE_FILENO fileno
#endif

#include "camera_probe.h"

namespace {

// No message ends with a line feed: each result line begins with one. On a
// line-buffered terminal every message would therefore appear only with the
// next print, one message late, and the last one at exit. Unbuffered, each
// message is on screen as soon as it is printed; files and pipes keep full
// buffering.
void show_messages_at_once_on_terminal() {
    if (CAMERA_PROBE_ISATTY(CAMERA_PROBE_FILENO(stdout))) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
}

}  // namespace

// Arguments are ignored: the tool has nothing to configure.
int main() {
    show_messages_at_once_on_terminal();
    return camera_probe::run_camera_probe(stdout);
}
