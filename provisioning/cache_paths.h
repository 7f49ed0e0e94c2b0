#pragma once

#include <string>

// The per-user cache of this release and platform, always ending in "/".
std::string getInstallAgentCacheDir();

// The cached agent's directory (ending in "/") when its "install" exists, else "".
std::string installAgentDirOnDisk();

// The agent's entry point "install" inside a directory (pure string work).
std::string getInstallAgentExecutable(std::string dir);
