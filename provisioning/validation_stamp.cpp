#include "provisioning/validation_stamp.h"

#include "provisioning/constants.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string stampPath(const std::string& dir)
{
    return dir + pathSeparator + validationFileName;
}

} // namespace

bool isCacheValid(std::string dir, std::string validationString)
{
    if (validationString.empty())
        return false;
    const std::string path = stampPath(dir);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return false;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    std::string firstLine;
    for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file))
        firstLine += static_cast<char>(c);
    std::fclose(file);
    return firstLine == validationString;
}

void writeValidationString(std::string dir, std::string validationString)
{
    if (dir.empty() || validationString.empty())
        return;
    // Written aside and renamed into place: a reader never sees half a stamp,
    // a run killed meanwhile leaves no stamp at all, and a link standing at
    // the stamp's path is replaced, not followed.
    std::string temporary = dir + pathSeparator + validationFileName + "-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        return;
    const mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd, 0666 & ~mask) == 0;
    const char* data = validationString.data();
    std::size_t left = validationString.size();
    while (written && left > 0) {
        const ssize_t count = write(fd, data, left);
        if (count < 0 && errno == EINTR)
            continue;
        written = count > 0;
        if (written) {
            data += count;
            left -= static_cast<std::size_t>(count);
        }
    }
    written = written && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || rename(temporary.c_str(), stampPath(dir).c_str()) != 0)
        unlink(temporary.c_str());
}

void removeValidationString(std::string dir)
{
    if (!dir.empty())
        unlink(stampPath(dir).c_str());
}
