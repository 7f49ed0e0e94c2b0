#include "launcher/driver.h"
#include "launcher/error_reporter.h"
#include "platform/main_bundle.h"
#include "platform/system_log.h"
#include "platform/termination_signals.h"

#include <csignal>

int main(int argc, char** argv)
{
    // A reader that went away (a closed pipe on stderr) only silences the
    // launcher: it must not end a run halfway. What the launcher starts gets
    // the default back.
    std::signal(SIGPIPE, SIG_IGN);
    setSystemLogIdentity(mainBundleName());
    // A termination signal ends the run in order, wherever it comes, and then
    // the process by that signal, as the shell or script that ran it expects.
    const TerminationRecord termination;
    const int result = mainFcn(argc, const_cast<const char**>(argv), report_error_main);
    if (result != 0) {
        report_error_main("Installation failed.", true);
        if (const int signal = pendingTerminationSignal(); signal != 0)
            endBySignal(signal);
    }
    return result;
}
