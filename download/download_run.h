#pragma once

#include "launcher/error_reporter.h"

#include <string>

// Where the download writes the archive, and the URL it fetches. Set once
// before the download window runs and only read while it runs.
extern std::string downloadTo;
extern std::string downloadFrom;

// Downloads the install-agent archive to archivePath from
// $ZX_INTERNAL_INSTALL_AGENT_URL (the default URL when unset) and runs the
// download front end until it ends. True when the run handed off to an
// agent in the cache.
bool downloadInstallAgentFromZX(const char* archivePath, ErrorReporter reporter);

// Builds the download window, runs its loop until the window closes or the
// controller hands off, and returns the loop's result. The arguments are
// ignored; the window always starts the same way.
int CallNSApplicationMain(int argc, const char** argv);
