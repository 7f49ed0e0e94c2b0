#pragma once

// The install agent as the launcher needs it: a zip archive that `unzip`
// reads without error and without a password, whose entries all unpack where
// they say (no absolute path, no ".."), and whose top level holds "install",
// a regular file as unzip creates it (the launcher runs `sh <dir>/install`).

#include <string>

// Empty when the archive is fit to ship; otherwise why not, as one phrase
// ("has no install at its top level").
std::string agentArchiveProblem(const std::string& zipPath);

// Empty when the directory can be zipped into an agent: it holds "install"
// as a regular file; otherwise why not.
std::string agentDirectoryProblem(const std::string& directory);

// Zips the directory's contents with `zip`, so that its own "install" is at
// the archive's top level; symbolic links are stored as links, never
// followed. zipPath must not exist yet. Empty on success, otherwise why not.
std::string zipAgentDirectory(const std::string& directory, const std::string& zipPath);
