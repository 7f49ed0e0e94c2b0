#include "platform/file_manager.h"

#include <cerrno>
#include <cstdio>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// nftw's callback takes no context; the walk runs on the one main thread.
bool everyEntryRemoved = true;

int removeEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    const int status = (type == FTW_DP) ? rmdir(path) : unlink(path);
    if (status != 0)
        everyEntryRemoved = false;
    return 0; // go on with the rest of the tree
}

} // namespace

bool removeItemAtPath(const std::string& path)
{
    if (path.empty())
        return false;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return false;
    if (!S_ISDIR(info.st_mode))
        return unlink(path.c_str()) == 0;
    // Depth first, and without following links, so that a link inside the tree
    // is removed itself and whatever it points to stays untouched.
    everyEntryRemoved = true;
    const int walked = nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return walked == 0 && everyEntryRemoved;
}

bool fileExistsAtPath(const std::string& path)
{
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0;
}

bool writeAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
