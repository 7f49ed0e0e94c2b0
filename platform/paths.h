#pragma once

#include <string>

// Joins a directory and one name with exactly one "/" between them.
std::string appendPathComponent(const std::string& directory, const std::string& component);

// Everything before the last "/": "/" for an entry at the top, "" for a path without one.
std::string parentDirectory(const std::string& path);

// Everything after the last "/" (the whole path when it has none).
std::string lastPathComponent(const std::string& path);

// The user's temporary directory: $TMPDIR when set and non-empty, else "/tmp".
std::string userTemporaryDirectory();

// The whole target of the link /proc/self/exe; empty when it cannot be read
// (whyNot, when given, then tells why).
std::string readRunningExecutableLink(std::string* whyNot = nullptr);

// The whole target of a symbolic link, however long; empty when it cannot be
// read (whyNot, when given, then tells why).
std::string readLinkTarget(const std::string& linkPath, std::string* whyNot = nullptr);
