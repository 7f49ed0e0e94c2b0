#include "launcher/driver.h"
#include "launcher/error_reporter.h"

#include <csignal>

int main(int argc, char** argv)
{
    // A reader that went away (a closed pipe on stderr) only silences the
    // launcher: it must not end a run halfway. What the launcher starts gets
    // the default back.
    std::signal(SIGPIPE, SIG_IGN);
    const int result = mainFcn(argc, const_cast<const char**>(argv), report_error_main);
    if (result != 0)
        report_error_main("Installation failed.", true);
    return result;
}
