#pragma once

#include "launcher/error_reporter.h"

#include <string>

// Unpacks zipPath into destinationDir with "<unzip> -qq -o <zip> -d <dir>".
// False, silently, when the archive does not exist; false after reporting
// "Failed to unzip the install agent" when unzip fails or cannot be run.
bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter);
