// SPDX-License-Identifier: MIT
#include "probe_output.h"

#include <cstdio>
#include <stdexcept>

#include "camera_probe.h"

ProbeOutcome run_probe() {
    std::FILE *capture = std::tmpfile();
    if (capture == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
    ProbeOutcome outcome{camera_probe::run_camera_probe(capture), {}};
    std::rewind(capture);
    int c = 0;
    while ((c = std::fgetc(capture)) != EOF) {
        outcome.output.push_back(static_cast<char>(c));
    }
    std::fclose(capture);
    return outcome;
}
