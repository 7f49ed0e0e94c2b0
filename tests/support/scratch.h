#pragma once

// A private temporary directory for one test, and small file helpers. The
// helpers throw std::runtime_error on failure, which GoogleTest reports as a
// failure of the test that called them.

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class ScratchDir {
public:
    // mkdtemp of "launcher-test-XXXXXX" under $TMPDIR (or /tmp, when that is unset
    // or not a directory).
    ScratchDir();
    // Removes the directory and everything below it, without following links.
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative.
    std::string operator/(const std::string& relative) const;
    // Creates path()/relative with its missing parents (mode 0755); returns its path.
    std::string makeDir(const std::string& relative) const;

private:
    std::string path_;
};

// a + "/" + b, with exactly one "/" between them.
std::string joinPath(const std::string& a, const std::string& b);
// Everything before the last "/" ("/" for a top-level entry).
std::string parentOf(const std::string& path);
// Everything after the last "/".
std::string baseName(const std::string& path);

// Creates the directory and its missing parents; existing ones are kept.
void makeDirectories(const std::string& path, mode_t mode = 0755);
// Writes the bytes (replacing the file) and sets its mode.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string readFile(const std::string& path);
// Names of the entries, without "." and "..", sorted.
std::vector<std::string> listDirectory(const std::string& path);

// lstat: anything there, a dangling link included.
bool pathExists(const std::string& path);
// stat (follows links).
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
bool isSymlink(const std::string& path);
// The permission bits (lstat), e.g. 0700.
mode_t permissionBits(const std::string& path);

// Removes a file, a link or a whole tree, never following links; directories
// without write or search permission are opened up first. Missing is fine.
void removeTree(const std::string& path);

} // namespace testsupport
