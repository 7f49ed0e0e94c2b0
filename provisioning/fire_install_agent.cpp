#include "provisioning/fire_install_agent.h"

#include "platform/child_process.h"
#include "platform/system_log.h"
#include "platform/termination_signals.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/constants.h"
#include "provisioning/shell_command.h"

#include <cerrno>
#include <cstring>
#include <exception>

const char* const installAgentShell = "sh";

bool fireInstallAgentWithArgs(std::string agentPath, std::string command, std::string bundleLocation, int argc,
                              const char** argv, ErrorReporter reporter)
{
    std::string suffix = " -installbundle ";
    suffix += smart_quote(bundleLocation + pathSeparator + installationPayloadName);
    if (argc > 1) {
        suffix += " ";
        suffix += argv2cmdline(argc, argv);
    }
    command += suffix;

    // Without a shell on PATH the line would only make /bin/sh say "not
    // found", and the agent would never run.
    if (findProgram(installAgentShell).empty()) {
        reporter(std::string("Cannot start ") + installAgentShell + ": it is not on PATH", true);
        reporter("Failed to start the instal agent", true);
        return false;
    }
    if (pendingTerminationSignal() != 0)
        return false; // the run ends as a cancelled one does: quietly
    writeToSystemLog("Starting the install agent " + agentPath, LOG_INFO);
    int status = 0;
    try {
        // "exec": the shell that reads the line becomes the agent's shell, so
        // that a signal passed on to it reaches the agent, not a shell that
        // merely waits for it.
        status = call_system(agentPath, "exec " + command);
    } catch (const std::exception&) {
        reporter("Failed to start the instal agent", true);
        return false;
    }
    if (status == -1 && pendingTerminationSignal() != 0)
        return false; // the signal came just before the start
    // The agent's own status is its business; a shell that never started is ours.
    if (status == -1) {
        reporter(std::string("Cannot start /bin/sh: ") + std::strerror(errno), true);
        reporter("Failed to start the instal agent", true);
        return false;
    }
    return true;
}
