#include "tools/launcher_identity.h"

#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string header = std::string("\n") + LAUNCHER_BUILD_IDENTITY_HEADER + "\n";
// The identity's lines after the header are far shorter than this.
constexpr std::size_t identityTextLimit = 16 * 1024;
constexpr std::size_t readPieceSize = 1024 * 1024;

// A whole number of bytes, as the build wrote it.
std::optional<std::uint64_t> byteCountOf(const std::string& value)
{
    std::uint64_t bytes = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), bytes);
    if (value.empty() || error != std::errc() || end != value.data() + value.size())
        return std::nullopt;
    return bytes;
}

// The lines after the header up to the NUL byte; none unless all four text
// fields are there (the largest agent came later, and may be missing).
std::optional<LauncherIdentity> parseIdentity(const std::string& text)
{
    LauncherIdentity identity;
    int found = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "max-agent-bytes" && !identity.maxAgentBytes) {
            identity.maxAgentBytes = byteCountOf(value);
            continue;
        }
        std::string* field = key == "release" ? &identity.release
            : key == "platform"               ? &identity.platform
            : key == "url"                    ? &identity.downloadUrl
            : key == "cache-root"             ? &identity.cacheRoot
                                              : nullptr;
        if (field != nullptr && field->empty() && !value.empty()) {
            *field = value;
            ++found;
        }
    }
    if (found != 4)
        return std::nullopt;
    return identity;
}

std::optional<LauncherIdentity> identityIn(const std::string& bytes)
{
    for (auto at = bytes.find(header); at != std::string::npos; at = bytes.find(header, at + 1)) {
        const auto start = at + header.size();
        const auto end = bytes.find('\0', start);
        if (end == std::string::npos)
            break;
        if (auto identity = parseIdentity(bytes.substr(start, end - start)))
            return identity;
    }
    return std::nullopt;
}

} // namespace

std::optional<LauncherIdentity> readLauncherIdentity(const std::string& executablePath)
{
    struct stat info {};
    if (stat(executablePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    std::ifstream file(executablePath, std::ios::binary);
    // Read a piece at a time, whatever the file's size, keeping the end of
    // each piece that could hold the start of an identity cut off by the next.
    std::string window;
    std::vector<char> piece(readPieceSize);
    while (file.read(piece.data(), static_cast<std::streamsize>(piece.size())) || file.gcount() > 0) {
        window.append(piece.data(), static_cast<std::size_t>(file.gcount()));
        if (auto identity = identityIn(window))
            return identity;
        const std::size_t keep = header.size() + identityTextLimit;
        if (window.size() > keep)
            window.erase(0, window.size() - keep);
    }
    return std::nullopt;
}

LauncherIdentity ownLauncherIdentity()
{
    return *identityIn(std::string(launcherBuildIdentity) + '\0');
}

std::string cacheDirectoryFor(const LauncherIdentity& identity)
{
    // The home part exactly as the launcher finds it: this program's own
    // cache directory less its own subpath.
    const std::string own = getInstallAgentCacheDir();
    const std::string home = own.substr(0, own.size() - cacheSubpath.size());
    return home + identity.cacheRoot + pathSeparator + installAgentDirName + pathSeparator + identity.release
        + pathSeparator + identity.platform + pathSeparator;
}
