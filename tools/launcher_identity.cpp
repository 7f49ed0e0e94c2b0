#include "tools/launcher_identity.h"

#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

const std::string header = std::string("\n") + LAUNCHER_BUILD_IDENTITY_HEADER + "\n";

// The lines after the header up to the NUL byte; none unless all four
// fields are there.
std::optional<LauncherIdentity> parseIdentity(const std::string& text)
{
    LauncherIdentity identity;
    int found = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        std::string* field = key == "release" ? &identity.release
            : key == "platform"               ? &identity.platform
            : key == "url"                    ? &identity.downloadUrl
            : key == "cache-root"             ? &identity.cacheRoot
                                              : nullptr;
        if (field != nullptr && field->empty() && !value.empty()) {
            *field = value;
            ++found;
        }
    }
    if (found != 4)
        return std::nullopt;
    return identity;
}

std::optional<LauncherIdentity> identityIn(const std::string& bytes)
{
    for (auto at = bytes.find(header); at != std::string::npos; at = bytes.find(header, at + 1)) {
        const auto start = at + header.size();
        const auto end = bytes.find('\0', start);
        if (end == std::string::npos)
            break;
        if (auto identity = parseIdentity(bytes.substr(start, end - start)))
            return identity;
    }
    return std::nullopt;
}

} // namespace

std::optional<LauncherIdentity> readLauncherIdentity(const std::string& executablePath)
{
    std::ifstream file(executablePath, std::ios::binary);
    if (!file)
        return std::nullopt;
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return identityIn(bytes);
}

LauncherIdentity ownLauncherIdentity()
{
    return *identityIn(std::string(launcherBuildIdentity) + '\0');
}

std::string cacheDirectoryFor(const LauncherIdentity& identity)
{
    // The home part exactly as the launcher finds it: this program's own
    // cache directory less its own subpath.
    const std::string own = getInstallAgentCacheDir();
    const std::string home = own.substr(0, own.size() - cacheSubpath.size());
    return home + identity.cacheRoot + pathSeparator + installAgentDirName + pathSeparator + identity.release
        + pathSeparator + identity.platform + pathSeparator;
}
