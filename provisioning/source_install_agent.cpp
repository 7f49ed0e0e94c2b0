#include "provisioning/source_install_agent.h"

#include "download/download_run.h"
#include "launcher/locations.h"
#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"
#include "provisioning/mkpath.h"
#include "provisioning/unzip_install_agent.h"

#include <dirent.h>
#include <sys/stat.h>

namespace {

const std::string alternativePrefix = "InstallAgent_";
const std::string alternativeSuffix = ".zip";

// The first entry of the archive's directory, in the order the directory
// yields them, whose name is an alternative archive; "" when there is none.
std::string findAlternativeArchive(const std::string& defaultArchive)
{
    const auto separator = defaultArchive.find_last_of("/\\");
    const std::string dir = separator == std::string::npos ? defaultArchive : defaultArchive.substr(0, separator);
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr)
        return {};
    std::string found;
    while (const dirent* entry = readdir(listing)) {
        if (isAlternativeInstallAgentName(entry->d_name)) {
            found = dir + pathSeparator + entry->d_name;
            break;
        }
    }
    closedir(listing);
    return found;
}

} // namespace

bool isAlternativeInstallAgentName(const std::string& name)
{
    return name.size() >= alternativePrefix.size() + alternativeSuffix.size()
        && name.compare(0, alternativePrefix.size(), alternativePrefix) == 0
        && name.compare(name.size() - alternativeSuffix.size(), alternativeSuffix.size(), alternativeSuffix) == 0;
}

std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter)
{
    return sourceInstallAgent(std::move(workDir), reporter, downloadInstallAgentFromZX);
}

std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter, InstallAgentDownloader download)
{
    std::string archive = getDefaultInstallAgentLocation();
    std::string destination;
    struct stat info {};
    if (stat(archive.c_str(), &info) != 0)
        archive = findAlternativeArchive(archive);

    if (archive.empty()) {
        destination = getInstallAgentCacheDir() + installAgentDirName;
        mkpath(destination, 0700);
        archive = workDir + pathSeparator + installAgentZipName;
        if (!download(archive.c_str(), reporter))
            return {};
        if (const std::string cached = installAgentDirOnDisk(); !cached.empty())
            return getInstallAgentExecutable(cached);
    } else {
        destination = workDir;
    }

    if (unzipInstallAgent(archive, destination, "unzip", reporter))
        return getInstallAgentExecutable(destination);
    reporter("Failed to initialize the install agent.", true);
    return {};
}
