#pragma once

// Small files of the launcher's own (records beside the cached agent): read
// whole, and replaced in one step.

#include <cstddef>
#include <optional>
#include <string>

// The content of the regular file at path, when it is one (a link there is
// not followed, a FIFO cannot hold the reader up) and holds at most limit
// bytes; none otherwise, or when it cannot be read.
std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t limit);

// Replaces the file at path with content: written to a new file named
// temporaryPrefix + six random characters, made durable, then renamed over
// path, so that a reader sees the old content or the new one and a run
// killed meanwhile leaves at most that temporary file. A link at path is
// replaced, not followed. False when it could not be done (the temporary
// file is removed then).
bool replaceSmallFile(const std::string& path, const std::string& temporaryPrefix, const std::string& content);
