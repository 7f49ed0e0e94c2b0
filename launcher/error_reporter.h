#pragma once

#include <string>

// The one channel for messages of the command-line path: a plain function
// taking one line (without its newline) and whether it is an error.
using ErrorReporter = void (*)(std::string message, bool isError);

// Writes the message and a newline to stderr (errors) or stdout, then
// flushes; an error goes to the system log as well.
void report_error_main(std::string message, bool isError);
