#include "platform/system_log.h"

#include <cstdio>
#include <syslog.h>
#include <unistd.h>

void systemLog(const std::string& line)
{
    // openlog keeps the ident pointer: it has to stay valid for the whole run.
    static const bool opened = [] {
        openlog("launcher", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    syslog(LOG_ERR, "%s", line.c_str());
    // On a terminal a progress line may stand unfinished: start afresh over it.
    std::fprintf(stderr, "%s%s\n", isatty(STDERR_FILENO) ? "\r\x1b[K" : "", line.c_str());
    std::fflush(stderr);
}
