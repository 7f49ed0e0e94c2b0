#pragma once

// A program run on a terminal of its own (a pty) that nobody types into: a
// question asked there waits for ever, and the safety limit then kills it
// and fails the test.

#include "support/process.h"

#include <string>
#include <vector>

namespace testsupport {

struct TerminalRun {
    bool finished = false; // ended before the safety limit
    int waitStatus = -1;
    std::string output;    // everything it wrote to the terminal
};

// Runs argv (argv[0] a path) in the environment given, as "NAME=value" entries.
TerminalRun runOnTerminal(std::vector<std::string> argv, std::vector<std::string> environment,
                          std::chrono::seconds safetyLimit = kSafetyLimit);

} // namespace testsupport
