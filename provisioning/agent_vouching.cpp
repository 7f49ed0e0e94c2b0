#include "provisioning/agent_vouching.h"

#include "platform/small_file.h"
#include "provisioning/constants.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <unistd.h>

namespace {

const char* const vouchingFileName = ".vouchedby";
const char* const signingTimesFileName = ".newestsignatures";
// Neither file is anywhere near this long: a longer one is not ours.
constexpr std::size_t recordMaxBytes = 64 * 1024;

std::string pathIn(const std::string& dir, const char* name)
{
    return dir + pathSeparator + name;
}

std::string unfinishedPrefix(const std::string& dir, const char* name)
{
    return pathIn(dir, name) + "-";
}

// The lines of a record as (name, value) pairs, split at the first blank.
std::multimap<std::string, std::string> recordLines(std::string_view text)
{
    std::multimap<std::string, std::string> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const auto blank = line.find(' ');
        if (blank != std::string_view::npos)
            lines.emplace(std::string(line.substr(0, blank)), std::string(line.substr(blank + 1)));
    }
    return lines;
}

} // namespace

std::optional<AgentVouching> readAgentVouching(const std::string& dir)
{
    const std::optional<std::string> text = readSmallRegularFile(pathIn(dir, vouchingFileName), recordMaxBytes);
    if (!text)
        return std::nullopt;
    const auto lines = recordLines(*text);
    const auto key = lines.find("key-id");
    const auto comment = lines.find("trusted-comment");
    if (key == lines.end() || comment == lines.end() || key->second.empty())
        return std::nullopt;
    return AgentVouching{key->second, comment->second};
}

bool writeAgentVouching(const std::string& dir, const AgentVouching& vouching)
{
    // A trusted comment is one line (the signature's parser takes no other).
    if (vouching.keyId.find_first_of(" \n") != std::string::npos
        || vouching.trustedComment.find('\n') != std::string::npos)
        return false;
    return replaceSmallFile(pathIn(dir, vouchingFileName), unfinishedPrefix(dir, vouchingFileName),
                            "key-id " + vouching.keyId + "\ntrusted-comment " + vouching.trustedComment + "\n");
}

void removeAgentVouching(const std::string& dir)
{
    unlink(pathIn(dir, vouchingFileName).c_str());
}

NewestSigningTimes readNewestSigningTimes(const std::string& dir)
{
    NewestSigningTimes times;
    const std::optional<std::string> text = readSmallRegularFile(pathIn(dir, signingTimesFileName), recordMaxBytes);
    if (!text)
        return times;
    for (const auto& [keyId, value] : recordLines(*text)) {
        std::uint64_t seconds = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error == std::errc() && end == value.data() + value.size() && !value.empty())
            times[keyId] = std::max(times[keyId], seconds);
    }
    return times;
}

void recordSigningTime(const std::string& dir, const std::string& keyId, std::uint64_t timestamp)
{
    NewestSigningTimes times = readNewestSigningTimes(dir);
    if (keyId.empty() || keyId.find_first_of(" \n") != std::string::npos
        || (times.contains(keyId) && times[keyId] >= timestamp))
        return;
    times[keyId] = timestamp;
    std::string text;
    for (const auto& [id, seconds] : times)
        text += id + " " + std::to_string(seconds) + "\n";
    replaceSmallFile(pathIn(dir, signingTimesFileName), unfinishedPrefix(dir, signingTimesFileName), text);
}

bool isUnfinishedVouchingName(const std::string& name)
{
    return name.starts_with(std::string(vouchingFileName) + "-")
        || name.starts_with(std::string(signingTimesFileName) + "-");
}
