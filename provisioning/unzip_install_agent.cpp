#include "provisioning/unzip_install_agent.h"

#include "provisioning/shell_command.h"

#include <exception>
#include <sys/stat.h>

bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter)
{
    struct stat info {};
    if (stat(zipPath.c_str(), &info) != 0)
        return false;

    const std::string commandLine = smart_quote(unzipProgram) + " -qq -o " + smart_quote(zipPath) + " -d "
        + smart_quote(destinationDir);
    int status = -1;
    try {
        status = call_system(unzipProgram, commandLine);
    } catch (const std::exception&) {
        return false;
    }
    if (status != 0) {
        reporter("Failed to unzip the install agent", true);
        return false;
    }
    return true;
}
