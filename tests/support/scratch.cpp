#include "support/scratch.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

} // namespace

ScratchDir::ScratchDir()
{
    // A test may point TMPDIR somewhere unusable on purpose; its helpers still need room.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string root = (tmpdir != nullptr && *tmpdir != '\0' && isDirectory(tmpdir)) ? tmpdir : "/tmp";
    std::string pattern = joinPath(root, "launcher-test-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr)
        fail("mkdtemp", pattern, errno);
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    try {
        removeTree(path_);
    } catch (...) {
        // Leaving a stray directory behind is no reason to abort the run.
    }
}

std::string ScratchDir::operator/(const std::string& relative) const
{
    return joinPath(path_, relative);
}

std::string ScratchDir::makeDir(const std::string& relative) const
{
    const std::string full = joinPath(path_, relative);
    makeDirectories(full);
    return full;
}

std::string joinPath(const std::string& a, const std::string& b)
{
    if (a.empty())
        return b;
    std::string head = a;
    while (head.size() > 1 && head.back() == '/')
        head.pop_back();
    std::string tail = b;
    while (!tail.empty() && tail.front() == '/')
        tail.erase(tail.begin());
    return head == "/" ? head + tail : head + "/" + tail;
}

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void makeDirectories(const std::string& path, mode_t mode)
{
    std::string::size_type position = 0;
    for (;;) {
        const auto slash = path.find('/', position);
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            fail("mkdir", prefix, errno);
        if (slash == std::string::npos)
            break;
        position = slash + 1;
    }
    if (!isDirectory(path))
        fail("not a directory:", path, ENOTDIR);
}

void writeFile(const std::string& path, const std::string& content, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        fail("open", path, errno);
    std::string::size_type written = 0;
    while (written < content.size()) {
        const ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            close(fd);
            fail("write", path, error);
        }
        written += static_cast<std::string::size_type>(n);
    }
    if (fchmod(fd, mode) != 0) {
        const int error = errno;
        close(fd);
        fail("fchmod", path, error);
    }
    close(fd);
}

std::string readFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("open", path, errno);
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            close(fd);
            fail("read", path, error);
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return content;
}

std::vector<std::string> listDirectory(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        fail("opendir", path, errno);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool pathExists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isSymlink(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

mode_t permissionBits(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        fail("lstat", path, errno);
    return info.st_mode & 07777;
}

void removeTree(const std::string& path)
{
    if (path.empty())
        return;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return;
        fail("lstat", path, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            fail("unlink", path, errno);
        return;
    }
    if ((info.st_mode & 0700) != 0700)
        chmod(path.c_str(), info.st_mode | 0700);
    for (const auto& name : listDirectory(path))
        removeTree(path + "/" + name);
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
        fail("rmdir", path, errno);
}

} // namespace testsupport
