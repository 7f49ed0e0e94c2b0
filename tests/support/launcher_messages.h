#pragma once

// The launcher's own texts that tests look for, spelled here once and exactly
// as a user sees them (the typo in "instal" included). The tests keep their
// own copy on purpose: a text changed in the product is a failing test.

#include <string>

namespace testsupport::messages {

// The last line of every failed run, on stderr.
inline const std::string kInstallationFailed = "Installation failed.";

// Unpacking and starting the install agent, on stderr.
inline const std::string kUnzipAgentFailed = "Failed to unzip the install agent";
inline const std::string kInitializeAgentFailed = "Failed to initialize the install agent.";
inline const std::string kStartAgentFailed = "Failed to start the instal agent";

// The download's status line.
inline const std::string kDownloadError =
    "Error during the download process. See your system log for more information.";
inline const std::string kUnzipInstallerFailed = "Failed to unzip the installer.";
inline const std::string kInitializingInstaller = "Initializing the installer";
// While another run holds the cache.
inline const std::string kWaitingForTheCache = "Waiting for another installation to finish";

// The start of the system-log line of a failed download; the reason follows.
inline const std::string kDownloadFailedPrefix = "Download failed! Error - ";

} // namespace testsupport::messages
