#include "platform/file_manager.h"

#include <cerrno>
#include <cstdio>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// nftw's callback takes no context; the walk runs on the one main thread.
bool everyEntryRemoved = true;
bool openedAnUnreadableDirectory = false;

// The owner may do anything in it: a directory the tree holds read-only
// (an agent may well have one) keeps its entries otherwise.
bool letTheOwnerChange(const std::string& directory)
{
    struct stat info {};
    return lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
        && chmod(directory.c_str(), (info.st_mode & 07777) | S_IRWXU) == 0;
}

bool removeOne(const char* path, bool isDirectory)
{
    return (isDirectory ? rmdir(path) : unlink(path)) == 0;
}

int removeEntry(const char* path, const struct stat* info, int type, struct FTW* where)
{
    if (type == FTW_DNR) {
        // Not even listed: opened up now, it is emptied on the next walk
        // (one that its owner may list already stays as it is).
        if ((info->st_mode & S_IRWXU) != S_IRWXU && letTheOwnerChange(path))
            openedAnUnreadableDirectory = true;
        else
            everyEntryRemoved = false;
        return 0;
    }
    const bool isDirectory = type == FTW_DP;
    if (removeOne(path, isDirectory))
        return 0;
    // Inside the tree (never the directory that holds it), a directory
    // that refuses is made writable, and asked again.
    const bool refused = errno == EACCES || errno == EPERM;
    if (!refused || where->level == 0 || where->base == 0
        || !letTheOwnerChange(std::string(path, static_cast<std::size_t>(where->base - 1)))
        || !removeOne(path, isDirectory))
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
    // is removed itself and whatever it points to stays untouched. Each walk
    // goes one unreadable directory deeper than the one before.
    int walked = 0;
    do {
        everyEntryRemoved = true;
        openedAnUnreadableDirectory = false;
        walked = nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    } while (walked == 0 && openedAnUnreadableDirectory);
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
