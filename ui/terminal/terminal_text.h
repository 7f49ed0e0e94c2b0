#pragma once

#include <string>

// Text measured and cleaned for a terminal line.

// Columns a UTF-8 text takes: one per code point.
int displayWidth(const std::string& text);

// The text cut to at most width columns, at a code point boundary.
std::string cutToWidth(const std::string& text, int width);

// The text with control characters, which would break the line (or the
// terminal), turned into blanks.
std::string printable(const std::string& text);
