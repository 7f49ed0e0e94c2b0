#include "provisioning/constants.h"

// The release, platform, download URL and cache root come from the build
// configuration (cmake/LauncherIdentity.cmake); the defaults there give the
// values this launcher has always had.
#if !defined(LAUNCHER_RELEASE_TAG) || !defined(LAUNCHER_PLATFORM_TAG) || !defined(LAUNCHER_CACHE_ROOT) \
    || !defined(LAUNCHER_MAX_AGENT_BYTES)
#error "LAUNCHER_RELEASE_TAG, _PLATFORM_TAG, _CACHE_ROOT and _MAX_AGENT_BYTES come from the build configuration"
#endif

#define LAUNCHER_TEXT_OF(value) #value
#define LAUNCHER_TEXT(value) LAUNCHER_TEXT_OF(value)

// The maker's download server; the release and platform tags follow it.
#define LAUNCHER_DOWNLOAD_URL_PREFIX "http://downloads.kelvor.com/pi_install_agent_pi_"

// All in one translation unit, in this order, so that the composed values are
// built from finished parts.
const std::string pathSeparator = "/";
const std::string releaseTag = LAUNCHER_RELEASE_TAG;
const std::string tagSeparator = "_";
const std::string platformTag = LAUNCHER_PLATFORM_TAG;
const std::string installAgentZipName = "InstallAgent.zip";
#ifdef LAUNCHER_DOWNLOAD_URL
const std::string defaultInstallAgentURL = LAUNCHER_DOWNLOAD_URL;
#else
const std::string defaultInstallAgentURL =
    std::string(LAUNCHER_DOWNLOAD_URL_PREFIX) + releaseTag + tagSeparator + platformTag;
#endif
const std::string installAgentDirName = "installagent";
const std::string cacheSubpath = std::string(LAUNCHER_CACHE_ROOT) + pathSeparator + "installagent" + pathSeparator
    + releaseTag + pathSeparator + platformTag + pathSeparator;
const std::string validationFileName = ".validatestring";
const std::uint64_t maxInstallAgentBytes = static_cast<std::uint64_t>(LAUNCHER_MAX_AGENT_BYTES);

// The same values once more as one plain text in the executable's read-only
// data, so that a tool can read what a built launcher would do from its file
// without running it. Kept even though nothing in the launcher reads it.
#ifndef LAUNCHER_DOWNLOAD_URL
#define LAUNCHER_DOWNLOAD_URL LAUNCHER_DOWNLOAD_URL_PREFIX LAUNCHER_RELEASE_TAG "_" LAUNCHER_PLATFORM_TAG
#endif
[[gnu::used]] extern const char launcherBuildIdentity[] = "\n" LAUNCHER_BUILD_IDENTITY_HEADER "\n"
                                                         "release=" LAUNCHER_RELEASE_TAG "\n"
                                                         "platform=" LAUNCHER_PLATFORM_TAG "\n"
                                                         "url=" LAUNCHER_DOWNLOAD_URL "\n"
                                                         "cache-root=" LAUNCHER_CACHE_ROOT "\n"
                                                         "max-agent-bytes=" LAUNCHER_TEXT(
                                                             LAUNCHER_MAX_AGENT_BYTES) "\n";
