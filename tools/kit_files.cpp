#include "tools/kit_files.h"

#include "tools/bundle_files.h"

#include "platform/paths.h"
#include "provisioning/bundle_contents.h"

#include <unistd.h>

#ifndef LAUNCHER_KIT_DIR_FROM_TOOL
#error "LAUNCHER_KIT_DIR_FROM_TOOL names the launcher's directory relative to the tool's"
#endif

std::optional<KitFiles> findKitFiles(std::string& whyNot)
{
    const std::string self = readRunningExecutableLink();
    if (self.empty()) {
        whyNot = "cannot tell where this program lies (/proc/self/exe)";
        return std::nullopt;
    }
    const std::string toolDir = parentDirectory(self);
    const std::string candidates[] = {appendPathComponent(toolDir, LAUNCHER_KIT_DIR_FROM_TOOL), toolDir};
    for (const std::string& dir : candidates) {
        const std::string launcher = appendPathComponent(dir, launcherExecutableName);
        if (!isRegularFile(launcher) || access(launcher.c_str(), X_OK) != 0)
            continue;
        KitFiles kit{launcher, appendPathComponent(dir, windowModuleName)};
        if (!isRegularFile(kit.windowModule))
            kit.windowModule.clear();
        return kit;
    }
    whyNot = "no launcher to copy: looked in " + candidates[0] + " and " + candidates[1];
    return std::nullopt;
}
