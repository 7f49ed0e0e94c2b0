#pragma once

#include <string>

// Removes a file, a link (never what it points to) or a whole directory tree.
// Returns false when something could not be removed; nothing is reported.
bool removeItemAtPath(const std::string& path);

// Whether anything exists at the path, following links.
bool fileExistsAtPath(const std::string& path);
