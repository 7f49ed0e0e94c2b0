#pragma once

// The self-extracting file a bundle is wrapped into, as Debian's makeself
// makes it: a shell script (makeself's header) followed by a gzip-compressed
// tar archive that holds the bundle and a start script beside it:
//
//   start-launcher      exec's the bundle's launcher with every argument
//   Name.app/...        the bundle, as it was
//
// makeself's stock header takes the first arguments of the file as its own
// options (--help, --target DIR, ...). The header used here is makeself's
// own with one line more, which hands every argument on untouched and keeps
// the header quiet but for errors: the file's arguments are the launcher's.

#include <cstdint>
#include <optional>
#include <string>

// The name of the start script, makeself's startup script.
extern const char* const runFileStartScriptName;

// makeself's header template (makeself-header.sh) with the line that passes
// every argument on; none, with the reason in whyNot, when the template is
// not one this tool knows.
std::optional<std::string> argumentPassingHeader(const std::string& makeselfTemplate, std::string& whyNot);

// The start script for a bundle unpacked as bundleName beside it: the
// launcher at launcherPath (relative to the bundle), started in the directory
// the file was started from.
std::string runFileStartScript(const std::string& bundleName, const std::string& launcherPath);

// A self-extracting file's header, as read back.
struct RunFileHeader {
    std::uint64_t archiveOffset = 0; // where the compressed archive starts
    std::uint64_t archiveSize = 0;
    std::string sha256;              // of the archive, in hexadecimal
    std::string startScript;         // what makeself runs after unpacking
    bool passesArguments = false;    // its header is the one made here
};

// The header of the file at path: a makeself header of one gzip-compressed
// archive with a SHA-256 checksum, whose end lies within its first megabyte;
// none, with the reason in whyNot (a phrase after the file's name).
std::optional<RunFileHeader> readRunFileHeader(const std::string& path, std::string& whyNot);

// Empty when the file at path is a self-extracting file made by this tool
// (its header passes every argument on); otherwise why not.
std::string whyNotAToolRunFile(const std::string& path);
