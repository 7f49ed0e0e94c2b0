#include "tools/run_file_format.h"

#include "provisioning/shell_command.h"

#include <fstream>
#include <sys/stat.h>

const char* const runFileStartScriptName = "start-launcher";

namespace {

// In the template, a line of the heredoc that writes the header; in the
// header, "$@" without the backslashes.
const std::string templateArgumentsLine = "initargs=\"\\$@\"\n";
const std::string passingLines = "# Every argument is the launcher's: none is an option of this file.\n"
                                 "set -- -q -- \"\\$@\"; initargs=\"\\$@\"\n";
const std::string madeByThisTool = "\nset -- -q -- \"$@\"; initargs=\"$@\"\n";

constexpr std::size_t headerReadLimit = 1024 * 1024;

// The value of a line name="value" of the header; empty when there is none.
std::string headerValue(const std::string& header, const std::string& name)
{
    const std::string start = "\n" + name + "=\"";
    const auto at = header.find(start);
    if (at == std::string::npos)
        return {};
    const auto valueStart = at + start.size();
    const auto end = header.find("\"\n", valueStart);
    return end == std::string::npos ? std::string() : header.substr(valueStart, end - valueStart);
}

std::optional<std::uint64_t> number(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18)
        return std::nullopt;
    return std::stoull(text);
}

// The byte offset just past the first lines lines; none when the text holds fewer.
std::optional<std::uint64_t> offsetAfterLines(const std::string& text, std::uint64_t lines)
{
    std::size_t at = 0;
    for (std::uint64_t line = 0; line < lines; ++line) {
        at = text.find('\n', at);
        if (at == std::string::npos)
            return std::nullopt;
        ++at;
    }
    return at;
}

std::string firstBytes(const std::string& path, std::size_t limit)
{
    std::ifstream file(path, std::ios::binary);
    std::string bytes(limit, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(limit));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

} // namespace

std::optional<std::string> argumentPassingHeader(const std::string& makeselfTemplate, std::string& whyNot)
{
    const auto at = makeselfTemplate.find("\n" + templateArgumentsLine);
    if (at == std::string::npos || makeselfTemplate.find("\ninitargs=", at + 1) != std::string::npos) {
        whyNot = "is not a makeself header this tool knows (makeself 2.4)";
        return std::nullopt;
    }
    return makeselfTemplate.substr(0, at + 1) + passingLines
        + makeselfTemplate.substr(at + 1 + templateArgumentsLine.size());
}

std::string runFileStartScript(const std::string& bundleName, const std::string& launcherPath)
{
    return "#!/bin/sh\n"
           "# Run by the self-extracting file in the directory it unpacked into:\n"
           "# the bundle's launcher, started where the file was started.\n"
           "unpacked=$PWD\n"
           "cd \"$USER_PWD\" 2>/dev/null\n"
           "exec \"$unpacked\"/"
        + smart_quote(bundleName + "/" + launcherPath) + " \"$@\"\n";
}

std::optional<RunFileHeader> readRunFileHeader(const std::string& path, std::string& whyNot)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        whyNot = "is not a regular file";
        return std::nullopt;
    }
    const std::string head = firstBytes(path, headerReadLimit);
    if (!head.starts_with("#!/bin/sh\n") || head.find("\n# This script was generated using Makeself") == std::string::npos) {
        whyNot = "is not a self-extracting file made with makeself";
        return std::nullopt;
    }
    RunFileHeader header;
    const std::optional<std::uint64_t> lines = number(headerValue(head, "skip"));
    const std::optional<std::uint64_t> size = number(headerValue(head, "filesizes"));
    const std::optional<std::uint64_t> offset = offsetAfterLines(head, lines.value_or(head.size() + 1));
    header.sha256 = headerValue(head, "SHA");
    header.startScript = headerValue(head, "script");
    const bool gzip = head.find("\techo Compression: gzip\n") != std::string::npos;
    if (!lines || !offset || !size || header.sha256.size() != 64 || !gzip) {
        whyNot = "has a makeself header without one gzip archive of known size and SHA-256 checksum";
        return std::nullopt;
    }
    header.archiveOffset = offset.value();
    header.archiveSize = size.value();
    if (header.archiveOffset + header.archiveSize != static_cast<std::uint64_t>(info.st_size)) {
        whyNot = "is cut short or has bytes added: its archive is not the size its header says";
        return std::nullopt;
    }
    header.passesArguments = head.substr(0, header.archiveOffset).find(madeByThisTool) != std::string::npos;
    return header;
}

std::string whyNotAToolRunFile(const std::string& path)
{
    std::string whyNot;
    const std::optional<RunFileHeader> header = readRunFileHeader(path, whyNot);
    if (!header)
        return whyNot;
    if (!header->passesArguments)
        return "is a self-extracting file not made by launcher-bundle";
    return {};
}
