#include "tools/bundle_files.h"

#include "platform/file_manager.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace

bool isRegularFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDirectory(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool pathExists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string absolutePath(const std::string& path)
{
    std::string result = path;
    if (result.empty() || result.front() != '/') {
        char* cwd = getcwd(nullptr, 0);
        const std::string base = cwd != nullptr ? cwd : ".";
        std::free(cwd);
        result = base + (base.back() == '/' ? "" : "/") + result;
    }
    while (result.size() > 1 && result.back() == '/')
        result.pop_back();
    return result;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string& whyNot)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        whyNot = "cannot be read (" + errorText(errno) + ")";
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        whyNot = "is not a regular file";
        return std::nullopt;
    }
    const UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        whyNot = "cannot be read (" + errorText(errno) + ")";
        return std::nullopt;
    }
    // The size is read, not believed: the file may grow meanwhile.
    std::string bytes(limit + 1, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t count = read(in.get(), bytes.data() + got, bytes.size() - got);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            whyNot = "cannot be read (" + errorText(errno) + ")";
            return std::nullopt;
        }
        if (count == 0)
            break;
        got += static_cast<std::size_t>(count);
    }
    if (got > limit) {
        whyNot = "is larger than " + std::to_string(limit) + " bytes";
        return std::nullopt;
    }
    bytes.resize(got);
    return bytes;
}

std::string copyFileTo(const std::string& from, const std::string& to, unsigned mode)
{
    const UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return "cannot read " + from + ": " + errorText(errno);
    UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out)
        return "cannot create " + to + ": " + errorText(errno);
    std::string failure;
    char buffer[65536];
    for (;;) {
        const ssize_t count = read(in.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            failure = "cannot read " + from + ": " + errorText(errno);
            break;
        }
        if (count == 0)
            break;
        if (!writeAll(out.get(), buffer, static_cast<std::size_t>(count))) {
            failure = "cannot write " + to + ": " + errorText(errno);
            break;
        }
    }
    if (failure.empty() && fchmod(out.get(), static_cast<mode_t>(mode)) != 0)
        failure = "cannot set the mode of " + to + ": " + errorText(errno);
    // A late write error shows only when the file is closed.
    if (!out.close() && failure.empty())
        failure = "cannot write " + to + ": " + errorText(errno);
    return failure;
}

std::string writeNewFile(const std::string& path, const std::string& text, unsigned mode)
{
    UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out)
        return "cannot create " + path + ": " + errorText(errno);
    if (!writeAll(out.get(), text.data(), text.size()) || fchmod(out.get(), static_cast<mode_t>(mode)) != 0
        || !out.close())
        return "cannot write " + path + ": " + errorText(errno);
    return {};
}

std::string makeTemporaryDirectoryBeside(const std::string& path, std::string& whyNot)
{
    std::string pattern = parentDirectory(path) + "/." + lastPathComponent(path) + ".partial-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        whyNot = "cannot make a directory in " + parentDirectory(path) + ": " + errorText(errno);
        return {};
    }
    return pattern;
}

std::string putInPlace(const std::string& made, const std::string& target, bool replace)
{
    const unsigned flags = replace && pathExists(target) ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, target.c_str(), flags) == 0) {
        // After an exchange the old bundle is where the new one was made.
        if (flags == RENAME_EXCHANGE)
            removeItemAtPath(made);
        return {};
    }
    if (errno == EEXIST)
        return target + " appeared meanwhile; nothing was replaced";
    if (errno != EINVAL && errno != ENOSYS)
        return "cannot move the bundle to " + target + ": " + errorText(errno);

    // A file system without atomic exchange: the old one moves aside first.
    if (!pathExists(target)) {
        if (rename(made.c_str(), target.c_str()) != 0)
            return "cannot move the bundle to " + target + ": " + errorText(errno);
        return {};
    }
    std::string whyNot;
    const std::string aside = makeTemporaryDirectoryBeside(target, whyNot);
    if (aside.empty())
        return whyNot;
    if (rename(target.c_str(), aside.c_str()) != 0) {
        const int error = errno;
        rmdir(aside.c_str());
        return "cannot move the old " + target + " aside: " + errorText(error);
    }
    if (rename(made.c_str(), target.c_str()) != 0) {
        const int error = errno;
        rename(aside.c_str(), target.c_str());
        return "cannot move the bundle to " + target + ": " + errorText(error);
    }
    removeItemAtPath(aside);
    return {};
}
