#include "provisioning/fire_install_agent.h"

#include "provisioning/bundle_contents.h"
#include "provisioning/constants.h"
#include "provisioning/shell_command.h"

#include <cerrno>
#include <cstring>
#include <exception>

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
    // The agent's own status is its business; a shell that never started is ours.
    if (status == -1) {
        reporter(std::string("Cannot start /bin/sh: ") + std::strerror(errno), true);
        reporter("Failed to start the instal agent", true);
        return false;
    }
    return true;
}
