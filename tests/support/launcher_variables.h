#pragma once

// The names of the environment variables the launcher reads, spelled once
// for the tests: the sandbox of the launcher runs, and the unit tests that
// set one for their own process (ScopedEnv).

namespace testsupport::launcherenv {

inline constexpr const char* kAgentUrl = "ZX_INTERNAL_INSTALL_AGENT_URL";
inline constexpr const char* kFrontEnd = "ZX_INSTALLER_UI";
inline constexpr const char* kDownloadTimeout = "ZX_INTERNAL_DOWNLOAD_TIMEOUT";
inline constexpr const char* kDownloadRetries = "ZX_INTERNAL_DOWNLOAD_RETRIES";
inline constexpr const char* kCaBundle = "ZX_INTERNAL_CA_BUNDLE";
inline constexpr const char* kUnpackBesideBundle = "__ZX_BOOTSTRAP_INSTALLER_UNITTEST__";

} // namespace testsupport::launcherenv
