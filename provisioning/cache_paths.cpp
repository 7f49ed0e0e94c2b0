#include "provisioning/cache_paths.h"

#include "provisioning/constants.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string homeDirectory()
{
    if (const char* home = std::getenv("HOME"))
        return home;
    // HOME unset altogether: ask the password database, as a login would.
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return {};
}

} // namespace

std::string getInstallAgentCacheDir()
{
    std::string home = homeDirectory();
    if (home.empty())
        home = "/tmp";
    if (home.size() > 1 && home.back() != '/')
        home += pathSeparator;
    return home + cacheSubpath;
}

std::string installAgentDirOnDisk()
{
    const std::string dir = getInstallAgentCacheDir() + installAgentDirName + pathSeparator;
    struct stat info {};
    if (stat(getInstallAgentExecutable(dir).c_str(), &info) != 0)
        return {};
    return dir;
}

std::string getInstallAgentExecutable(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += pathSeparator;
    return dir + "install";
}
