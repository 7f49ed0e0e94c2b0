#pragma once

#include "launcher/error_reporter.h"

#include <string>

// The shell that reads the install agent, as the command line names it: the
// one PATH finds.
extern const char* const installAgentShell;

// Completes the install-agent command line (the command head, then
// "-installbundle <bundleLocation>/bundle.zip" and argv[1..]) and runs it
// through the shell, waiting for it. True once it has run, whatever the
// agent's status; false, after saying why, when the shell could not be
// started (none on PATH, the line too long for the kernel, say) or handing
// it over threw; false without a word when a termination signal has ended
// the run before the agent could start.
bool fireInstallAgentWithArgs(std::string agentPath, std::string command, std::string bundleLocation, int argc,
                              const char** argv, ErrorReporter reporter);
