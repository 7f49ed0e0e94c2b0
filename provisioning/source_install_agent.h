#pragma once

#include "launcher/error_reporter.h"
#include "provisioning/bundle_contents.h" // isAlternativeInstallAgentName, the name rule sourcing applies

#include <memory>
#include <string>

class CacheSession;

// Fetches the install agent into the cache, downloading the archive to
// archivePath: true when the caller should look for the agent there.
using InstallAgentDownloader = bool (*)(const char* archivePath, ErrorReporter reporter, CacheSession& cache);

// Finds the install agent (shipped "InstallAgent.zip", then the first
// "InstallAgent_*.zip" beside it, then a download), makes sure it is unpacked
// and returns the path of its "install"; "" when there is none to run. The
// cache a downloaded agent comes from is let go on return.
std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter);

// The same with the download step given. Before a download it opens the
// cache (reporting, and downloading nothing, when it cannot be used); when
// the result is the cached agent, heldCache keeps the cache held for it,
// and its holder lets go once that agent has ended.
std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter,
                               std::unique_ptr<CacheSession>& heldCache, InstallAgentDownloader download);
