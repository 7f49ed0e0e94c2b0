#include "provisioning/fire_install_agent.h"

#include "provisioning/constants.h"
#include "provisioning/shell_command.h"

#include <exception>

bool fireInstallAgentWithArgs(std::string agentPath, std::string command, std::string bundleLocation, int argc,
                              const char** argv, ErrorReporter reporter)
{
    std::string suffix = " -installbundle ";
    suffix += smart_quote(bundleLocation + pathSeparator + "bundle.zip");
    if (argc > 1) {
        suffix += " ";
        suffix += argv2cmdline(argc, argv);
    }
    command += suffix;

    try {
        call_system(agentPath, command);
    } catch (const std::exception&) {
        reporter("Failed to start the instal agent", true);
        return false;
    }
    return true;
}
