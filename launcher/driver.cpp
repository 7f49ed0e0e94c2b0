#include "launcher/driver.h"

#include "download/download_run.h"
#include "launcher/locations.h"
#include "launcher/temp_dir.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "platform/termination_signals.h"
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

    // Only the tests' switch puts the run beside the bundle, among the
    // user's own files: without a scratch directory there is no run.
    std::string workDir = scratch.getDir();
    if (std::getenv("__ZX_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr) {
        workDir = getDirectoryOfExecutable();
    } else if (workDir.empty()) {
        reporter(scratch.whyNot(), true);
        return -1;
    }

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

    const std::string command = installAgentShell + (" " + smart_quote(agentPath));
    const std::string bundleLocation = getBundleLocation();
    const bool started = fireInstallAgentWithArgs(agentPath, command, bundleLocation, argc, argv, reporter);
    // The agent has ended: the cache it ran from may change again.
    heldCache.reset();
    if (!started) {
        // A termination signal ends the run as a cancel does: quietly.
        if (pendingTerminationSignal() == 0)
            reporter("Failed to start the instal agent", true);
        return -1;
    }
    return 0;
}
