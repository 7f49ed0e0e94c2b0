#include "platform/download_file.h"

#include "platform/file_manager.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void DownloadFile::setPath(const std::string& path, bool allowOverwrite)
{
    path_ = path;
    allowOverwrite_ = allowOverwrite;
}

bool DownloadFile::open(std::string& whyNot)
{
    if (path_.empty()) {
        whyNot = "No destination was given for the download";
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (allowOverwrite_ ? O_TRUNC : O_EXCL);
    fd_.reset(::open(path_.c_str(), flags, 0666));
    if (!fd_) {
        whyNot = "Cannot create " + path_ + ": " + std::strerror(errno);
        return false;
    }
    opened_ = true;
    struct stat info {};
    regular_ = fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode);
    return true;
}

bool DownloadFile::append(const char* data, std::size_t size, std::string& whyNot)
{
    if (!writeAll(fd_.get(), data, size)) {
        whyNot = "Cannot write to " + path_ + ": " + std::strerror(errno);
        return false;
    }
    size_ += size;
    return true;
}

void DownloadFile::empty()
{
    if (fd_ && regular_ && ftruncate(fd_.get(), 0) == 0)
        lseek(fd_.get(), 0, SEEK_SET);
    size_ = 0;
}

void DownloadFile::discard()
{
    close();
    if (removedUponFailure_ && opened_ && regular_)
        unlink(path_.c_str());
    opened_ = false;
}
