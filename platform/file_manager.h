#pragma once

#include <cstddef>
#include <string>

// Removes a file, a link (never what it points to) or a whole directory tree,
// making the directories inside it writable (and readable) where they refuse.
// Returns false when something could not be removed; nothing is reported.
bool removeItemAtPath(const std::string& path);

// Whether anything exists at the path, following links.
bool fileExistsAtPath(const std::string& path);

// Writes all of data to fd, writing again after a short write or EINTR.
// False with errno set when it cannot (ENOSPC for a write that takes nothing).
bool writeAll(int fd, const void* data, std::size_t size);
