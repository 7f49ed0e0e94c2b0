#include "platform/system_log.h"

#include "platform/stderr_terminal.h"

#include <cstdio>

namespace {

// openlog keeps the pointer it is given: the text lives as long as the process.
std::string& identity()
{
    static std::string name = "launcher";
    return name;
}

void openWithTheIdentity()
{
    openlog(identity().c_str(), LOG_PID, LOG_USER);
}

void openOnce()
{
    static const bool opened = [] {
        openWithTheIdentity();
        return true;
    }();
    (void)opened;
}

bool endsASyslogTag(unsigned char c)
{
    return c <= ' ' || c == ':' || c == '[' || c == ']' || c == 0x7f;
}

} // namespace

void setSystemLogIdentity(const std::string& productName)
{
    if (productName.empty())
        return;
    std::string name = productName;
    for (char& c : name)
        if (endsASyslogTag(static_cast<unsigned char>(c)))
            c = '_';
    identity() = std::move(name);
    openWithTheIdentity();
}

const std::string& systemLogIdentity()
{
    return identity();
}

void writeToSystemLog(const std::string& line, int priority)
{
    openOnce();
    syslog(priority, "%s", line.c_str());
}

void systemLog(const std::string& line, int priority)
{
    writeToSystemLog(line, priority);
    // On a terminal a progress line may stand unfinished: start afresh over it.
    std::fprintf(stderr, "%s%s\n", freshLineOnStderr(), line.c_str());
    std::fflush(stderr);
}

void systemLog(const std::string& line)
{
    systemLog(line, LOG_ERR);
}
