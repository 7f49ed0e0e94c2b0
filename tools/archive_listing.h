#pragma once

// A zip archive's entries as the launcher's unzip will create them, read
// from unzip's own listing (unzip -Z -s) rather than from the bits stored in
// the archive: a name ending in "/" is a directory, an entry stored as a
// symbolic link by a Unix zip is a link, and everything else, entries that
// carry permission bits but no file-type bits included (Python's zipfile
// writes those), is a regular file.

#include <optional>
#include <string>
#include <vector>

struct ArchiveEntry {
    enum class Kind { File, Directory, Link };
    Kind kind = Kind::File;
    std::string name;       // as stored, a directory's with its final "/"
    bool encrypted = false; // unzip would need a password for it
};

// The archive's entries in the archive's order; none, with the reason in
// whyNot, when unzip cannot list it.
std::optional<std::vector<ArchiveEntry>> listArchiveEntries(const std::string& zipPath, std::string& whyNot);
