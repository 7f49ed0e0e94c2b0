#pragma once

#include <string>

// Where the launcher stands. Every result is a path without a trailing
// separator, or the empty string when the location is not available.

// The main bundle's path; without a main bundle, the running executable.
std::string getPathToExecutable();
// The directory that holds the bundle (or the executable).
std::string getDirectoryOfExecutable();
// The bundle's resource directory; without a main bundle, the executable's directory.
std::string getBundleLocation();
// The shipped archive "InstallAgent.zip" among the resources; empty without a main bundle.
std::string getDefaultInstallAgentLocation();
