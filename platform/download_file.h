#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The file a URL download writes. It is created (or truncated) when the
// first body begins, and stays open across attempts, so that a later attempt
// can add the rest of a body or empty the file for one that starts from zero.
// Only a regular file that this download opened is ever truncated or removed:
// never a device or the like that the destination happens to name, nor a
// file it was not allowed to replace.
class DownloadFile {
public:
    // Where to write, and whether an existing file there may be replaced.
    void setPath(const std::string& path, bool allowOverwrite);
    // Whether discard() removes what was written.
    void setRemovedUponFailure(bool removed) { removedUponFailure_ = removed; }

    bool isOpen() const { return fd_.valid(); }
    // Creates the file, or truncates it when replacing is allowed; false with
    // a one-line reason that names the file.
    bool open(std::string& whyNot);
    // Adds the bytes at the end of the open file; false with a one-line
    // reason (the file's name and errno's text).
    bool append(const char* data, std::size_t size, std::string& whyNot);
    // Bytes appended since the file was opened or last emptied: where the
    // rest of the body would go.
    std::uint64_t size() const { return size_; }
    // Empties the file (a regular one) for a body that starts from zero.
    void empty();
    // Closes the file and keeps it.
    void close() { fd_.reset(); }
    // Closes the file, and removes it when asked to and it is this download's.
    void discard();

private:
    std::string path_;
    bool allowOverwrite_ = false;
    bool removedUponFailure_ = false;
    UniqueFd fd_;
    bool opened_ = false;  // this download created or truncated the file
    bool regular_ = false; // and it is a regular file
    std::uint64_t size_ = 0;
};
