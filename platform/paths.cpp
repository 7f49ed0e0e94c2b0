#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

std::string appendPathComponent(const std::string& directory, const std::string& component)
{
    if (directory.empty())
        return component;
    std::string result = directory;
    while (result.size() > 1 && result.back() == '/')
        result.pop_back();
    std::string tail = component;
    while (!tail.empty() && tail.front() == '/')
        tail.erase(tail.begin());
    if (result.back() != '/')
        result += '/';
    return result + tail;
}

std::string parentDirectory(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string lastPathComponent(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string userTemporaryDirectory()
{
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0')
        return tmpdir;
    return "/tmp";
}

std::string readLinkTarget(const std::string& linkPath, std::string* whyNot)
{
    std::vector<char> buffer(1024);
    for (;;) {
        const ssize_t length = readlink(linkPath.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            if (whyNot != nullptr)
                *whyNot = linkPath + ": " + std::strerror(errno);
            return {};
        }
        if (static_cast<size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(length));
        // The target may have been cut: try again with room to spare.
        buffer.resize(buffer.size() * 2);
    }
}

std::string readRunningExecutableLink(std::string* whyNot)
{
    return readLinkTarget("/proc/self/exe", whyNot);
}
