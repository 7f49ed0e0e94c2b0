#pragma once

// File work for the bundle tool: copying with a given mode, the temporary
// directory a bundle is made in, and putting it in place in one step.

#include <cstddef>
#include <optional>
#include <string>

bool isRegularFile(const std::string& path); // follows links
bool isDirectory(const std::string& path);   // follows links
bool pathExists(const std::string& path);    // anything, a dangling link included

// The path made absolute (against the current directory) and without
// trailing slashes; "/" stays "/".
std::string absolutePath(const std::string& path);

// The whole of a regular file of at most limit bytes; none, with the reason
// in whyNot ("is not a regular file", "is larger than 65536 bytes"), for
// anything else. Never reads more than limit + 1 bytes.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string& whyNot);

// Copies the bytes into a new file `to` with the mode. Empty on success,
// otherwise why not.
std::string copyFileTo(const std::string& from, const std::string& to, unsigned mode);

// Writes the text into a new file `path` with the mode. Empty on success,
// otherwise why not.
std::string writeNewFile(const std::string& path, const std::string& text, unsigned mode);

// A new empty directory beside `path`, hidden and named after it. Empty on
// failure, with the reason in whyNot.
std::string makeTemporaryDirectoryBeside(const std::string& path, std::string& whyNot);

// Renames the directory `made` to `target` in one step. Without `replace`
// nothing may be at `target` (also not one that appeared meanwhile); with it
// the old `target` is swapped out and removed. Empty on success, otherwise
// why not (then `made` is still there and `target` untouched).
std::string putInPlace(const std::string& made, const std::string& target, bool replace);
