#include "provisioning/mkpath.h"

#include <cerrno>
#include <sys/stat.h>

namespace {

// 0 when the path is (now) a directory, -1 with errno otherwise.
int ensureDirectory(const std::string& path, mode_t mode)
{
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return 0;
        errno = ENOTDIR;
        return -1;
    }
    if (mkdir(path.c_str(), mode) == 0)
        return 0;
    const int failure = errno;
    // Someone else may have made it between our test and our mkdir.
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return 0;
    errno = failure == EEXIST ? ENOTDIR : failure;
    return -1;
}

} // namespace

int mkpath(std::string path, std::uint16_t mode)
{
    std::string::size_type position = 0;
    for (;;) {
        const auto slash = path.find('/', position);
        if (slash == std::string::npos)
            break;
        if (slash != position && ensureDirectory(path.substr(0, slash), mode) != 0)
            return -1;
        position = slash + 1;
    }
    return ensureDirectory(path, mode);
}
