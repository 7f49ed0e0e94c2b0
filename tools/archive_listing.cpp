#include "tools/archive_listing.h"

#include "tools/helper_program.h"

#include <sstream>
#include <stdexcept>

namespace {

// The fields before the name: mode, version, host, size, text/encryption
// flags, method, date, time.
constexpr int fieldsBeforeName = 8;

// The entry count from the header line "Zip file size: 381 bytes, number of entries: 4".
std::optional<std::size_t> entryCount(const std::string& line)
{
    const std::string label = "number of entries: ";
    const auto at = line.find(label);
    if (!line.starts_with("Zip file size:") || at == std::string::npos)
        return std::nullopt;
    try {
        return static_cast<std::size_t>(std::stoull(line.substr(at + label.size())));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// One line of the listing ("-rw-r--r--  3.0 unx  8 t- stor 24-Jan-01 12:00 install");
// none when the line is not an entry's.
std::optional<ArchiveEntry> parseArchiveListingLine(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (static_cast<int>(fields.size()) < fieldsBeforeName) {
        const auto start = line.find_first_not_of(' ', at);
        if (start == std::string::npos)
            return std::nullopt;
        at = line.find(' ', start);
        if (at == std::string::npos)
            return std::nullopt;
        fields.push_back(line.substr(start, at - start));
    }
    // One blank separates the time from the name, which may itself start with blanks.
    ArchiveEntry entry;
    entry.name = line.substr(at + 1);
    const std::string& mode = fields[0];
    const std::string& flags = fields[4];
    if (entry.name.empty() || mode.size() != 10 || flags.size() != 2)
        return std::nullopt;
    entry.encrypted = flags[0] == 'T' || flags[0] == 'B';
    if (entry.name.ends_with("/"))
        entry.kind = ArchiveEntry::Kind::Directory;
    else if (mode[0] == 'l')
        entry.kind = ArchiveEntry::Kind::Link;
    return entry;
}

} // namespace

std::optional<std::vector<ArchiveEntry>> listArchiveEntries(const std::string& zipPath, std::string& whyNot)
{
    const ChildRun listed = runHelperProgram({"unzip", "-Z", "-s", zipPath});
    std::istringstream lines(listed.output);
    std::optional<std::size_t> count;
    for (std::string line; !count && std::getline(lines, line);)
        count = entryCount(line);
    if (!listed.started || !count) {
        whyNot = "cannot be listed with unzip -Z" + helperComplaint(listed);
        return std::nullopt;
    }
    std::vector<ArchiveEntry> entries;
    for (std::string line; entries.size() < *count && std::getline(lines, line);) {
        const std::optional<ArchiveEntry> entry = parseArchiveListingLine(line);
        if (!entry) {
            whyNot = "has an entry unzip -Z lists in a way this tool cannot read: " + line;
            return std::nullopt;
        }
        entries.push_back(*entry);
    }
    if (entries.size() != *count) {
        whyNot = "cannot be listed with unzip -Z: it lists fewer entries than it counts";
        return std::nullopt;
    }
    return entries;
}
