#pragma once

// The programs the bundle tool runs for its work (unzip, zip, makeself, cp,
// tar), started as the launcher starts its own: found on PATH, no shell in
// between, input from /dev/null and no terminal to ask questions on, so that
// none of them can wait for an answer nobody was asked for.

#include "platform/child_process.h"

#include <string>
#include <vector>

// Runs the program to its end in workingDirectory (empty: the tool's own) and
// collects its standard output and standard error apart.
ChildRun runHelperProgram(const std::vector<std::string>& argv, const std::string& workingDirectory = {});

// The first line of the text that holds more than blanks, without its
// leading blanks; empty when there is none.
std::string firstLine(const std::string& text);

// What a failed run said: the first line of its standard error, or else of
// its standard output, after ": "; empty when it said nothing.
std::string helperComplaint(const ChildRun& run);
