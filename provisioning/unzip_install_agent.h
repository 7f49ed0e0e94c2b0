#pragma once

#include "launcher/error_reporter.h"

#include <functional>
#include <string>

enum class UnzipOutcome {
    Unpacked,
    NoArchive,   // nothing at the archive's path: unzip did not run
    Failed,      // unzip failed or could not be started; what it said is in the log
    Interrupted, // SIGINT, SIGTERM or SIGHUP ended it: the run is to end as if cancelled
};

// Unpacks zipPath into destinationDir with "<unzip> -qq -o <zip> -d <dir>",
// the program found on PATH. unzip gets no terminal and reads /dev/null, so
// it never waits for an answer; a termination signal meanwhile ends it.
// meanwhile, when given, is called every tenth of a second while unzip runs.
UnzipOutcome unpackInstallAgentArchive(const std::string& zipPath, const std::string& destinationDir,
                                       const std::string& unzipProgram, const std::function<void()>& meanwhile = {});

// The same as a yes or no: false, silently, when the archive does not exist
// or unzip was interrupted; false after reporting "Failed to unzip the
// install agent" when unzip fails or cannot be run.
bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter);
// The same, telling an interrupted unzip apart.
bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter, bool& interrupted);
