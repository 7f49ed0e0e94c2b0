#include "launcher/error_reporter.h"

#include "platform/stderr_terminal.h"
#include "platform/system_log.h"

#include <iostream>

void report_error_main(std::string message, bool isError)
{
    // A run that fails where nobody reads its stderr (a double click) still
    // leaves its reasons in the system log.
    if (isError)
        writeToSystemLog(message, LOG_ERR);
    std::ostream& out = isError ? std::cerr : std::cout;
    // On a terminal a progress line may stand unfinished: start afresh over it.
    if (isError)
        out << freshLineOnStderr();
    out << message << std::endl;
}
