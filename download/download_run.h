#pragma once

#include "launcher/error_reporter.h"

#include <string>

class CacheSession;

// Where the download writes the archive, and the URL it fetches. Set once
// before the download window runs and only read while it runs.
extern std::string downloadTo;
extern std::string downloadFrom;

// Downloads the install-agent archive to archivePath from
// $ZX_INTERNAL_INSTALL_AGENT_URL (the default URL when unset) into the cache,
// running the download front end until it ends. True when the run handed off
// to the agent in the cache; the cache then stays held for it.
bool downloadInstallAgentFromZX(const char* archivePath, ErrorReporter reporter, CacheSession& cache);
// The same into the cache opened for this call alone (false after reporting
// why it cannot be used): its hold ends when the call returns.
bool downloadInstallAgentFromZX(const char* archivePath, ErrorReporter reporter);

// Builds the download window on the cache, runs its loop until the window
// closes or the controller hands off, and returns the loop's result. The
// arguments are ignored; the window always starts the same way.
int CallNSApplicationMain(int argc, const char** argv, CacheSession& cache);
// The same on the cache opened for this call alone (0 after reporting why it
// cannot be used).
int CallNSApplicationMain(int argc, const char** argv);
