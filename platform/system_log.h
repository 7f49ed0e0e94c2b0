#pragma once

#include <string>

// Writes one line to the system log (ident "launcher", facility user, error
// priority) and the same line, with a newline, to stderr.
void systemLog(const std::string& line);
