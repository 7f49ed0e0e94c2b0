#include "provisioning/bundle_contents.h"

#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>

namespace {

const std::string alternativePrefix = "InstallAgent_";
const std::string alternativeSuffix = ".zip";
const std::string applicationSuffix = ".app";
// Where an application bundle keeps its parts, below its root.
const std::string executableSubpath = "/Contents/MacOS";
const std::string resourceSubpath = "/Contents/Resources";

} // namespace

bool isAlternativeInstallAgentName(const std::string& name)
{
    return name.size() >= alternativePrefix.size() + alternativeSuffix.size() && name.starts_with(alternativePrefix)
        && name.ends_with(alternativeSuffix);
}

std::vector<std::string> findAlternativeInstallAgents(const std::string& resourceDir, std::size_t limit)
{
    std::vector<std::string> names;
    DIR* listing = opendir(resourceDir.c_str());
    if (listing == nullptr)
        return names;
    while (names.size() < limit) {
        const dirent* entry = readdir(listing);
        if (entry == nullptr)
            break;
        if (isAlternativeInstallAgentName(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    closedir(listing);
    return names;
}

bool namesApplicationBundle(const std::string& name)
{
    return name.size() > applicationSuffix.size() && name.ends_with(applicationSuffix);
}

std::string applicationBundleTitle(const std::string& name)
{
    if (!namesApplicationBundle(name))
        return name;
    return name.substr(0, name.size() - applicationSuffix.size());
}

BundleDirectories bundleDirectoriesAt(const std::string& root, bool application)
{
    if (application)
        return BundleDirectories{true, root, root + executableSubpath, root + resourceSubpath};
    return BundleDirectories{false, root, root, root};
}

BundleDirectories existingBundleDirectories(const std::string& root)
{
    struct stat info {};
    const bool application = stat((root + executableSubpath).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return bundleDirectoriesAt(root, application);
}

BundleDirectories bundleDirectoriesAround(const std::string& executablePath)
{
    const std::string directory = parentDirectory(executablePath);
    if (directory.size() > executableSubpath.size() && directory.ends_with(executableSubpath))
        return bundleDirectoriesAt(directory.substr(0, directory.size() - executableSubpath.size()), true);
    return bundleDirectoriesAt(directory, false);
}

std::string desktopEntryPath(const BundleDirectories& layout)
{
    return appendPathComponent(layout.root, desktopEntryName);
}

std::string launcherPathFromDesktopEntry(const BundleDirectories& layout)
{
    const std::string launcherDir = layout.application ? executableSubpath.substr(1) : std::string();
    return appendPathComponent(launcherDir, launcherExecutableName);
}
