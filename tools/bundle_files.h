#pragma once

// File work for the bundle tool: copying with a given mode, the temporary
// directory a bundle is made in, and putting it in place in one step.

#include <string>

bool isRegularFile(const std::string& path); // follows links
bool isDirectory(const std::string& path);   // follows links
bool pathExists(const std::string& path);    // anything, a dangling link included

// The path made absolute (against the current directory) and without
// trailing slashes; "/" stays "/".
std::string absolutePath(const std::string& path);

// Copies the bytes into a new file `to` with the mode. Empty on success,
// otherwise why not.
std::string copyFileTo(const std::string& from, const std::string& to, unsigned mode);

// A new empty directory beside `path`, hidden and named after it. Empty on
// failure, with the reason in whyNot.
std::string makeTemporaryDirectoryBeside(const std::string& path, std::string& whyNot);

// Renames the directory `made` to `target` in one step. Without `replace`
// nothing may be at `target` (also not one that appeared meanwhile); with it
// the old `target` is swapped out and removed. Empty on success, otherwise
// why not (then `made` is still there and `target` untouched).
std::string putInPlace(const std::string& made, const std::string& target, bool replace);
