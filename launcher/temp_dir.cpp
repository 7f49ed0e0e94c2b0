#include "launcher/temp_dir.h"

#include "platform/file_manager.h"
#include "platform/paths.h"

#include <cstdlib>
#include <vector>

TempDir::TempDir(std::string /*name: the template alone decides the directory's name*/)
{
    // A temporary directory that is missing or full is no reason to work
    // among the user's own files: /tmp comes first.
    for (const std::string& root : {userTemporaryDirectory(), std::string("/tmp")}) {
        const std::string pattern = appendPathComponent(root, "zxXXXXXX");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) {
            path_ = buffer.data();
            return;
        }
    }
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
