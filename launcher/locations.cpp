#include "launcher/locations.h"

#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "provisioning/constants.h"

std::string getPathToExecutable()
{
    if (const auto bundle = mainBundle())
        return bundle->bundlePath;
    return readRunningExecutableLink();
}

std::string getDirectoryOfExecutable()
{
    const std::string path = getPathToExecutable();
    if (path.empty())
        return {};
    const auto separator = path.find_last_of("/\\");
    if (separator == std::string::npos)
        return path;
    return path.substr(0, separator);
}

std::string getBundleLocation()
{
    if (const auto bundle = mainBundle())
        return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
    return getDirectoryOfExecutable();
}

std::string getDefaultInstallAgentLocation()
{
    const auto bundle = mainBundle();
    if (!bundle || bundle->resourcePath.empty())
        return {};
    return appendPathComponent(bundle->resourcePath, installAgentZipName);
}
