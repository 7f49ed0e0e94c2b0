#include "platform/small_file.h"

#include "platform/file_manager.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t limit)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)
        || static_cast<std::size_t>(info.st_size) > limit)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > limit)
            return std::nullopt;
    }
}

bool replaceSmallFile(const std::string& path, const std::string& temporaryPrefix, const std::string& content)
{
    std::string temporary = temporaryPrefix + "XXXXXX";
    UniqueFd fd(mkstemp(temporary.data()));
    if (!fd)
        return false;
    const mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd.get(), 0666 & ~mask) == 0 && writeAll(fd.get(), content.data(), content.size())
        && fsync(fd.get()) == 0;
    written = fd.close() && written;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
