#include "provisioning/source_install_agent.h"

#include "download/download_run.h"
#include "launcher/locations.h"
#include "platform/file_manager.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/cache_paths.h"
#include "provisioning/cache_session.h"
#include "provisioning/constants.h"
#include "provisioning/public_key_file.h"
#include "provisioning/unzip_install_agent.h"

#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {

// The first alternative archive in the shipped archive's directory; "" when
// there is none.
std::string findAlternativeArchive(const std::string& defaultArchive)
{
    // Both separators count, and a path without one is taken as the directory.
    const auto separator = defaultArchive.find_last_of("/\\");
    const std::string dir = separator == std::string::npos ? defaultArchive : defaultArchive.substr(0, separator);
    const std::vector<std::string> found = findAlternativeInstallAgents(dir, 1);
    return found.empty() ? std::string() : dir + pathSeparator + found.front();
}

// Without an archive in the bundle: the cache, made ready (or refused) before
// anything is downloaded, and the download, which puts the agent there.
std::string downloadIntoTheCache(const std::string& workDir, ErrorReporter reporter,
                                 std::unique_ptr<CacheSession>& heldCache, InstallAgentDownloader download)
{
    // A key file that is there in any form but yields no key asks for
    // signatures nobody can check: nothing is downloaded, nothing runs.
    std::string keyProblem;
    if (!readBundlePublicKeys(keyProblem)) {
        reporter(keyProblem, true);
        return {};
    }
    std::unique_ptr<CacheSession> cache = openInstallAgentCache(reporter);
    if (!cache)
        return {};

    const std::string archive = workDir + pathSeparator + installAgentZipName;
    const bool handedOff = download(archive.c_str(), reporter, *cache);
    // Nothing of the download stays in the working directory, which may
    // well be the user's own folder.
    removeItemAtPath(archive);
    if (!handedOff)
        return {};
    // The download ends with the agent in the cache, held for this run.
    if (const std::string cached = installAgentDirOnDisk(); !cached.empty()) {
        heldCache = std::move(cache);
        return getInstallAgentExecutable(cached);
    }
    reporter("Failed to initialize the install agent.", true);
    return {};
}

} // namespace

std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter)
{
    std::unique_ptr<CacheSession> heldCache;
    return sourceInstallAgent(std::move(workDir), reporter, heldCache, downloadInstallAgentFromZX);
}

std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter,
                               std::unique_ptr<CacheSession>& heldCache, InstallAgentDownloader download)
{
    std::string archive = getDefaultInstallAgentLocation();
    struct stat info {};
    if (stat(archive.c_str(), &info) != 0)
        archive = findAlternativeArchive(archive);

    if (archive.empty())
        return downloadIntoTheCache(workDir, reporter, heldCache, download);

    bool interrupted = false;
    if (unzipInstallAgent(archive, workDir, "unzip", reporter, interrupted))
        return getInstallAgentExecutable(workDir);
    // A termination signal ends the run as a cancelled download does: quietly.
    if (!interrupted)
        reporter("Failed to initialize the install agent.", true);
    return {};
}
