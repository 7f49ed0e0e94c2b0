#include "tools/agent_archive.h"

#include "tools/program_run.h"

#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const entryPoint = "install";

std::string firstLine(const std::string& text)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start != std::string::npos)
            return line.substr(start);
    }
    return {};
}

} // namespace

std::string agentArchiveProblem(const std::string& zipPath)
{
    struct stat info {};
    if (stat(zipPath.c_str(), &info) != 0)
        return "does not exist";
    if (S_ISDIR(info.st_mode))
        return "is a directory, not a zip archive";
    if (!S_ISREG(info.st_mode))
        return "is not a regular file";

    const ProgramResult tested = runProgram({"unzip", "-tq", zipPath});
    if (!tested.started)
        return "cannot be tested: unzip cannot be run";
    if (tested.exitStatus != 0)
        return "is not a zip archive, or a damaged one (unzip -t fails)";

    // zipinfo's one-name-per-line listing: directories end in "/".
    const ProgramResult listed = runProgram({"unzip", "-Z1", zipPath});
    if (!listed.succeeded())
        return "cannot be listed with unzip -Z1";
    bool found = false;
    bool foundAsDirectory = false;
    std::string nested;
    std::istringstream names(listed.out);
    for (std::string name; std::getline(names, name);) {
        if (name == entryPoint)
            found = true;
        else if (name == std::string(entryPoint) + "/")
            foundAsDirectory = true;
        else if (nested.empty() && name.size() > 8 && name.compare(name.size() - 8, 8, "/install") == 0)
            nested = name;
    }
    if (!found && foundAsDirectory)
        return "has a directory install at its top level, not a file";
    if (!found)
        return "has no install at its top level" + (nested.empty() ? std::string() : " (only " + nested + ")");

    // The long listing of that one entry starts with its kind: "-" for a
    // regular file, "l" for a symbolic link.
    const ProgramResult entry = runProgram({"unzip", "-Z", zipPath, entryPoint});
    if (!entry.succeeded() || entry.out.empty())
        return "cannot be listed with unzip -Z";
    if (entry.out[0] != '-')
        return "has an install at its top level that is not a regular file";
    return {};
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
    // "install" lands at the top; -X leaves out owner and time extras that
    // the launcher has no use for.
    const ProgramResult zipped = runProgram({"zip", "-q", "-r", "-X", zipPath, "."}, directory);
    if (!zipped.started)
        return "cannot be zipped: zip cannot be run (Debian: zip)";
    if (zipped.exitStatus != 0) {
        const std::string why = firstLine(zipped.err.empty() ? zipped.out : zipped.err);
        return "cannot be zipped" + (why.empty() ? std::string() : ": " + why);
    }
    return {};
}
