#include "provisioning/public_key_file.h"

#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"
#include "provisioning/bundle_contents.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A key file is a few short lines; anything much larger is not one.
constexpr std::size_t publicKeyFileMaxBytes = 16 * 1024;

// Why the entry at path cannot be opened as a key file (it exists: lstat found it).
std::string openProblem(const std::string& path, int error)
{
    struct stat info {};
    if (error == ENOENT && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        return "it is a link that leads nowhere";
    if (error == ELOOP)
        return "it is a link in a loop";
    return std::strerror(error);
}

// The file's bytes, up to limit + 1 of them (so that "too large" shows); false with the problem.
bool readUpTo(int fd, std::size_t limit, std::string& content, std::string& problem)
{
    content.assign(limit + 1, '\0');
    std::size_t size = 0;
    while (size < content.size()) {
        const ssize_t got = read(fd, content.data() + size, content.size() - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        size += static_cast<std::size_t>(got);
    }
    content.resize(size);
    return true;
}

} // namespace

PublicKeyFile readPublicKeyFile(const std::string& path)
{
    PublicKeyFile file;
    // O_NONBLOCK: a FIFO put there cannot hold the run up.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        file.problem = openProblem(path, errno);
        return file;
    }
    struct stat info {};
    std::string text;
    if (fstat(fd.get(), &info) != 0)
        file.problem = std::strerror(errno);
    else if (S_ISDIR(info.st_mode))
        file.problem = "it is a directory";
    else if (!S_ISREG(info.st_mode))
        file.problem = "it is not a regular file";
    else if (readUpTo(fd.get(), publicKeyFileMaxBytes, text, file.problem)) {
        file.readable = true;
        if (text.empty())
            file.problem = "it is empty";
        else if (text.size() > publicKeyFileMaxBytes)
            file.problem = "it is too large for a key file";
        else if (auto keys = parseMinisignPublicKeys(text, file.problem))
            file.keys = std::move(*keys);
    }
    return file;
}

bool publicKeyFileStandsAt(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

std::optional<std::vector<MinisignPublicKey>> readBundlePublicKeys(std::string& whyNot)
{
    const auto bundle = mainBundle();
    if (!bundle)
        return std::vector<MinisignPublicKey>{};
    const std::string path = appendPathComponent(bundle->resourcePath, installAgentPublicKeyName);
    if (!publicKeyFileStandsAt(path))
        return std::vector<MinisignPublicKey>{};
    PublicKeyFile file = readPublicKeyFile(path);
    if (file.keys.empty()) {
        whyNot = "Cannot use the public key " + path + ": " + file.problem;
        return std::nullopt;
    }
    return std::move(file.keys);
}
