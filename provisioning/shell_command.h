#pragma once

#include <string>

// One word for /bin/sh: left bare when every byte is shell-safe, otherwise in
// double quotes with ", $, ` and \ escaped. The empty word becomes "".
std::string smart_quote(std::string text);

// argv[1] ... argv[argc-1], each quoted as one word and followed by one blank.
std::string argv2cmdline(int argc, const char** argv);

// Runs the line with "/bin/sh -c", as system() does, waits for it and
// returns its raw wait status; -1 with errno set when the shell cannot be
// started (the line too long for the kernel, no memory, no /bin/sh), and
// with EINTR, nothing started, once the run has had a termination signal.
// SIGTERM and SIGHUP sent to the launcher meanwhile, and a SIGINT sent to it
// alone, are passed on to the command. program is only the name of what the
// line runs.
int call_system(std::string program, std::string commandLine);
