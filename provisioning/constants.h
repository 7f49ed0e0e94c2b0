#pragma once

#include <cstdint>
#include <string>

// The release this launcher serves, where its install agent comes from and
// where it is cached. Built before main runs; never changed afterwards.
extern const std::string pathSeparator;
extern const std::string releaseTag;
extern const std::string tagSeparator;
extern const std::string platformTag;
extern const std::string installAgentZipName;
extern const std::string defaultInstallAgentURL;
extern const std::string installAgentDirName;
extern const std::string cacheSubpath;
extern const std::string validationFileName;
// No install agent download may be longer (LAUNCHER_MAX_AGENT_BYTES of the build).
extern const std::uint64_t maxInstallAgentBytes;

// The release identity as text in the executable's file, found by its first
// line (LAUNCHER_BUILD_IDENTITY_HEADER) and followed by the lines
// "release=", "platform=", "url=" (the built-in download URL),
// "cache-root=" and "max-agent-bytes=", each ending in "\n", then a NUL byte.
#define LAUNCHER_BUILD_IDENTITY_HEADER "launcher build identity 1"
extern const char launcherBuildIdentity[];
