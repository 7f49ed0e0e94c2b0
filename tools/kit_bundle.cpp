#include "tools/kit_bundle.h"

#include "tools/bundle_files.h"
#include "tools/launcher_identity.h"

#include "provisioning/bundle_contents.h"

std::string whyNotAKitBundle(const std::string& path)
{
    if (!isDirectory(path))
        return "is not a directory";
    const BundleDirectories layout = existingBundleDirectories(path);
    const std::string launcher = layout.executableDir + "/" + launcherExecutableName;
    const std::string shownLauncher = launcher.substr(path.size() + 1);
    if (!isRegularFile(launcher))
        return "holds no " + shownLauncher;
    if (!readLauncherIdentity(launcher))
        return "holds a " + shownLauncher + " without a kit launcher's build identity";
    if (!isRegularFile(layout.resourceDir + "/" + installationPayloadName))
        return std::string("holds no ") + installationPayloadName;
    return {};
}
