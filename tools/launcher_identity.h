#pragma once

// What a built launcher would do, read from its executable file: the release
// identity its build compiled in (provisioning/constants.h keeps it there as
// one text), so that a bundle can be judged without running its launcher.

#include <cstdint>
#include <optional>
#include <string>

struct LauncherIdentity {
    std::string release;
    std::string platform;
    std::string downloadUrl; // the built-in URL
    std::string cacheRoot;   // the hidden directory in the user's home
    // The largest agent it downloads; none for a launcher built before that was recorded.
    std::optional<std::uint64_t> maxAgentBytes;
};

// The identity inside the executable at the path; none when the file cannot
// be read or holds none (a launcher built before it was recorded).
std::optional<LauncherIdentity> readLauncherIdentity(const std::string& executablePath);

// The identity this program was built with.
LauncherIdentity ownLauncherIdentity();

// The cache directory a launcher of this identity uses for the current user
// (HOME as the launcher reads it), ending in "/".
std::string cacheDirectoryFor(const LauncherIdentity& identity);
