#include "launcher/temp_dir.h"

#include "platform/file_manager.h"
#include "platform/paths.h"

#include <cstdlib>
#include <vector>

TempDir::TempDir(std::string /*name: the template alone decides the directory's name*/)
{
    const std::string pattern = appendPathComponent(userTemporaryDirectory(), "zxXXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr)
        path_ = buffer.data();
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
