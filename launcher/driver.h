#pragma once

#include "launcher/error_reporter.h"

#include <string>

// Carries one start of the installation from scratch directory to exit code:
// 0 once the install-agent command has been run, -1 otherwise.
int mainFcn(int argc, const char** argv, ErrorReporter reporter);

// Hook for unpacking a payload into the working directory; there is none, so it
// always succeeds.
int extractPayloadToDir(std::string directory, ErrorReporter reporter);
