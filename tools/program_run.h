#pragma once

// Running the helper programs the bundle tool relies on (unzip, zip): no
// shell in between, standard input from /dev/null, both output streams
// collected.

#include <string>
#include <vector>

struct ProgramResult {
    bool started = false; // false: the program could not be run at all
    int exitStatus = -1;  // its exit status; -1 when it was killed by a signal
    std::string out;
    std::string err;

    bool succeeded() const { return started && exitStatus == 0; }
};

// Runs argv[0] (looked up on PATH) with the other words as its arguments,
// in workingDirectory when that is not empty, and waits for it.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& workingDirectory = {});
