#include "provisioning/validation_stamp.h"

#include "platform/small_file.h"
#include "platform/unique_fd.h"
#include "provisioning/constants.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The name a new stamp is written under, before it is renamed into place.
// (A function: the constant it is made of belongs to another unit's start-up.)
std::string unfinishedStampPrefix()
{
    return validationFileName + "-";
}

std::string stampPath(const std::string& dir)
{
    return dir + pathSeparator + validationFileName;
}

} // namespace

std::string readValidationString(const std::string& dir)
{
    // O_NOFOLLOW: a link is no stamp. O_NONBLOCK: a FIFO put there cannot hold the run up.
    const UniqueFd fd(::open(stampPath(dir).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    std::string firstLine;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {};
        if (got == 0)
            return firstLine;
        const auto size = static_cast<std::size_t>(got);
        if (const void* newline = std::memchr(buffer, '\n', size)) {
            firstLine.append(buffer, static_cast<const char*>(newline) - buffer);
            return firstLine;
        }
        firstLine.append(buffer, size);
    }
}

bool isCacheValid(std::string dir, std::string validationString)
{
    return !validationString.empty() && readValidationString(dir) == validationString;
}

void writeValidationString(std::string dir, std::string validationString)
{
    if (dir.empty() || validationString.empty())
        return;
    // Written aside and renamed into place: a reader never sees half a stamp,
    // a run killed meanwhile leaves no stamp at all, and a link standing at
    // the stamp's path is replaced, not followed.
    replaceSmallFile(stampPath(dir), dir + pathSeparator + unfinishedStampPrefix(), validationString);
}

void removeValidationString(std::string dir)
{
    if (!dir.empty())
        unlink(stampPath(dir).c_str());
}

bool isUnfinishedValidationStringName(const std::string& name)
{
    return name.starts_with(unfinishedStampPrefix());
}
