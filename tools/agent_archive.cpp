#include "tools/agent_archive.h"

#include "tools/archive_listing.h"
#include "tools/helper_program.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string entryPoint = "install";

std::string archiveFileProblem(const std::string& zipPath)
{
    struct stat info {};
    if (stat(zipPath.c_str(), &info) != 0)
        return "does not exist";
    if (S_ISDIR(info.st_mode))
        return "is a directory, not a zip archive";
    if (!S_ISREG(info.st_mode))
        return "is not a regular file";
    return {};
}

// unzip -t as the launcher's unzip will meet the archive: without a
// terminal, so an encrypted entry fails at once instead of asking.
std::string testedArchiveProblem(const std::string& zipPath)
{
    const ChildRun tested = runHelperProgram({"unzip", "-tq", zipPath});
    if (!tested.started)
        return "cannot be tested: unzip cannot be run";
    if (tested.succeeded())
        return {};
    std::string ignored;
    if (const auto entries = listArchiveEntries(zipPath, ignored))
        for (const ArchiveEntry& entry : *entries)
            if (entry.encrypted)
                return "has an encrypted entry " + entry.name + ": the launcher has no password to give unzip";
    return "is not a zip archive, or a damaged one (unzip -t fails)";
}

bool hasParentComponent(const std::string& name)
{
    std::size_t start = 0;
    for (;;) {
        const auto slash = name.find('/', start);
        if (name.substr(start, slash == std::string::npos ? std::string::npos : slash - start) == "..")
            return true;
        if (slash == std::string::npos)
            return false;
        start = slash + 1;
    }
}

// unzip strips a leading "/" and skips ".." components, with a warning whose
// exit status fails every run of the launcher.
std::string entryNameProblem(const std::vector<ArchiveEntry>& entries)
{
    for (const ArchiveEntry& entry : entries) {
        if (entry.name.starts_with("/"))
            return "has an entry with an absolute path, " + entry.name + ": unzip unpacks it only with a warning that "
                   "fails every run";
        if (hasParentComponent(entry.name))
            return "has an entry with a .. component, " + entry.name + ": unzip unpacks it only with a warning that "
                   "fails every run";
    }
    return {};
}

// The launcher runs `sh <dir>/install`: a regular file at the top level.
std::string entryPointProblem(const std::vector<ArchiveEntry>& entries)
{
    const ArchiveEntry* found = nullptr;
    std::string nested;
    for (const ArchiveEntry& entry : entries) {
        if (entry.name == entryPoint || entry.name == entryPoint + "/")
            found = &entry;
        else if (nested.empty() && entry.name.ends_with("/" + entryPoint))
            nested = entry.name;
    }
    if (found == nullptr)
        return "has no install at its top level" + (nested.empty() ? std::string() : " (only " + nested + ")");
    if (found->kind == ArchiveEntry::Kind::Directory)
        return "has a directory install at its top level, not a file";
    if (found->kind != ArchiveEntry::Kind::File)
        return "has an install at its top level that is not a regular file";
    return {};
}

} // namespace

std::string agentArchiveProblem(const std::string& zipPath)
{
    if (std::string problem = archiveFileProblem(zipPath); !problem.empty())
        return problem;
    if (std::string problem = testedArchiveProblem(zipPath); !problem.empty())
        return problem;
    std::string whyNot;
    const std::optional<std::vector<ArchiveEntry>> entries = listArchiveEntries(zipPath, whyNot);
    if (!entries)
        return whyNot;
    if (std::string problem = entryNameProblem(*entries); !problem.empty())
        return problem;
    return entryPointProblem(*entries);
}

std::string agentDirectoryProblem(const std::string& directory)
{
    struct stat info {};
    const std::string install = directory + "/" + entryPoint;
    if (lstat(install.c_str(), &info) != 0)
        return "has no install at its top level";
    if (!S_ISREG(info.st_mode))
        return "has an install that is not a regular file";
    if (access(install.c_str(), R_OK) != 0)
        return "has an install that cannot be read";
    return {};
}

std::string zipAgentDirectory(const std::string& directory, const std::string& zipPath)
{
    // zip runs inside the directory and takes its entries as they are, so
    // "install" lands at the top. -y stores a symbolic link as the link it
    // is: followed, one "loop -> ." would copy the directory into itself
    // until zip gives up, and a link out of the directory would ship what it
    // points to on the vendor's machine. -X leaves out owner and time extras
    // that the launcher has no use for.
    const ChildRun zipped = runHelperProgram({"zip", "-q", "-r", "-y", "-X", zipPath, "."}, directory);
    if (!zipped.started)
        return "cannot be zipped: zip cannot be run (Debian: zip)";
    if (!zipped.succeeded())
        return "cannot be zipped" + helperComplaint(zipped);
    return {};
}
