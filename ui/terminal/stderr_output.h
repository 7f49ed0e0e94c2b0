#pragma once

#include <string>

// Standard error as the terminal front ends write to it.

// Writes all of the text, going on after interruptions; where nothing can be
// written (stderr closed, a full disk) the text is dropped: there is nowhere
// else to show it.
void writeToStderr(const std::string& text);

// The width of the terminal on stderr in columns; 80 when it cannot be told.
int terminalColumns();
