// SPDX-License-Identifier: MIT
// Prints the users' table (docs/results.md) from the scenario registry.
#include <cstdio>

#include "results_table.h"

int main() {
    std::fputs(registry::results_table().c_str(), stdout);
    return 0;
}
