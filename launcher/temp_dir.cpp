#include "launcher/temp_dir.h"

#include "platform/file_manager.h"
#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

TempDir::TempDir(std::string /*name: the template alone decides the directory's name*/)
{
    // A temporary directory that is missing or full is no reason to work
    // among the user's own files: /tmp comes next, and then nothing.
    std::vector<std::string> roots{userTemporaryDirectory()};
    if (roots.front() != "/tmp")
        roots.emplace_back("/tmp");
    std::string failures;
    for (const std::string& root : roots) {
        const std::string pattern = appendPathComponent(root, "zxXXXXXX");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) {
            path_ = buffer.data();
            return;
        }
        const int failure = errno;
        failures += (failures.empty() ? "" : " or ") + root + " (" + std::strerror(failure) + ")";
    }
    whyNot_ = "Cannot create a scratch directory in " + failures;
}

TempDir::~TempDir()
{
    if (!path_.empty())
        removeItemAtPath(path_);
}

std::string TempDir::getDir() const
{
    return path_;
}

const std::string& TempDir::whyNot() const
{
    return whyNot_;
}
