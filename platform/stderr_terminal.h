#pragma once

// What standard error is, as everything that writes lines to it needs to
// know: a terminal where an unfinished line (a progress line) can be
// redrawn in place, and whether its user wants colours.

// Whether the terminal knows escapes: TERM is not "dumb" (as in an editor's
// shell buffer).
bool terminalKnowsEscapes();

// A terminal that redraws lines in place: stderr is a terminal that knows escapes.
bool stderrRedrawsLines();

// Colours are wanted unless NO_COLOR is set to anything but "".
bool coloursWanted();

// What starts a line afresh over an unfinished one on stderr: the return and
// erase-line sequence where lines are redrawn, "" elsewhere.
const char* freshLineOnStderr();
