#include "launcher/driver.h"

#include "download/download_run.h"
#include "launcher/locations.h"
#include "launcher/temp_dir.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "provisioning/fire_install_agent.h"
#include "provisioning/cache_session.h"
#include "provisioning/shell_command.h"
#include "provisioning/source_install_agent.h"

#include <cstdlib>
#include <sstream>

int extractPayloadToDir(std::string, ErrorReporter)
{
    return 0;
}

int mainFcn(int argc, const char** argv, ErrorReporter reporter)
{
    TempDir scratch("tmp_install_dir");

    // Without its own location the launcher knows neither its archive nor its payload.
    if (!mainBundle()) {
        std::string whyNot = "unknown";
        readRunningExecutableLink(&whyNot);
        reporter("Cannot find the launcher's own location: " + whyNot, true);
        return -1;
    }

    std::string workDir = scratch.getDir();
    if (workDir.empty() || std::getenv("__ZX_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr)
        workDir = getDirectoryOfExecutable();

    const int payloadStatus = extractPayloadToDir(workDir, reporter);
    if (payloadStatus != 0) {
        std::ostringstream message;
        message << "Internal error: Failed to initialize application installer (" << payloadStatus << ")";
        reporter(message.str(), true);
        return -1;
    }

    // An agent from the cache runs with the cache held: nobody changes it meanwhile.
    std::unique_ptr<CacheSession> heldCache;
    const std::string agentPath = sourceInstallAgent(workDir, reporter, heldCache, downloadInstallAgentFromZX);
    if (agentPath.empty())
        return -1;

    const std::string command = "sh " + smart_quote(agentPath);
    const std::string bundleLocation = getBundleLocation();
    const bool started = fireInstallAgentWithArgs(agentPath, command, bundleLocation, argc, argv, reporter);
    // The agent has ended: the cache it ran from may change again.
    heldCache.reset();
    if (!started) {
        reporter("Failed to start the instal agent", true);
        return -1;
    }
    return 0;
}
