#include "provisioning/shell_command.h"

#include <cstdlib>

namespace {

bool isShellSafe(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '/': case '.': case '_': case '-': case '+': case ',': case ':': case '@': case '%': case '=':
        return true;
    default:
        return false;
    }
}

} // namespace

std::string smart_quote(std::string text)
{
    bool safe = !text.empty();
    for (unsigned char c : text)
        safe = safe && isShellSafe(c);
    if (safe)
        return text;

    // Inside double quotes only these four keep a meaning; a backslash takes it away.
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '$' || c == '`' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string argv2cmdline(int argc, const char** argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += smart_quote(argv[i]);
        line += ' ';
    }
    return line;
}

int call_system(std::string /*program*/, std::string commandLine)
{
    return std::system(commandLine.c_str());
}
