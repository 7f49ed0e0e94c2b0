#include "platform/stderr_terminal.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

bool terminalKnowsEscapes()
{
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

bool stderrRedrawsLines()
{
    return isatty(STDERR_FILENO) == 1 && terminalKnowsEscapes();
}

bool coloursWanted()
{
    const char* noColor = std::getenv("NO_COLOR");
    return noColor == nullptr || *noColor == '\0';
}

const char* freshLineOnStderr()
{
    return stderrRedrawsLines() ? "\r\x1b[K" : "";
}
