#pragma once

#include "launcher/error_reporter.h"
#include "provisioning/bundle_contents.h" // isAlternativeInstallAgentName, the name rule sourcing applies

#include <string>

// Fetches the install agent into the cache: true when the caller should look
// for the agent there (or unpack the archive at archivePath into it).
using InstallAgentDownloader = bool (*)(const char* archivePath, ErrorReporter reporter);

// Finds the install agent (shipped "InstallAgent.zip", then the first
// "InstallAgent_*.zip" beside it, then a download), makes sure it is unpacked
// and returns the path of its "install"; "" when there is none to run.
std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter);

// The same, with the download step supplied by the caller.
std::string sourceInstallAgent(std::string workDir, ErrorReporter reporter, InstallAgentDownloader download);
