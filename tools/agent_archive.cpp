#include "tools/agent_archive.h"

#include "platform/child_process.h"

#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const entryPoint = "install";

// Runs a helper program (unzip, zip) found on PATH, with no shell in between
// and nothing to read, in workingDirectory when given, and collects what it
// says on either stream.
ChildRun runHelper(const std::vector<std::string>& argv, const std::string& workingDirectory = {})
{
    ChildProcessOptions options;
    options.argv = argv;
    options.inputFromNull = true;
    options.workingDirectory = workingDirectory;
    return runChild(options, ChildOutput::Apart);
}

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

    const ChildRun tested = runHelper({"unzip", "-tq", zipPath});
    if (!tested.started)
        return "cannot be tested: unzip cannot be run";
    if (!tested.succeeded())
        return "is not a zip archive, or a damaged one (unzip -t fails)";

    // zipinfo's one-name-per-line listing: directories end in "/".
    const ChildRun listed = runHelper({"unzip", "-Z1", zipPath});
    if (!listed.succeeded())
        return "cannot be listed with unzip -Z1";
    bool found = false;
    bool foundAsDirectory = false;
    std::string nested;
    std::istringstream names(listed.output);
    for (std::string name; std::getline(names, name);) {
        if (name == entryPoint)
            found = true;
        else if (name == std::string(entryPoint) + "/")
            foundAsDirectory = true;
        else if (nested.empty() && name.size() > 8 && name.ends_with("/install"))
            nested = name;
    }
    if (!found && foundAsDirectory)
        return "has a directory install at its top level, not a file";
    if (!found)
        return "has no install at its top level" + (nested.empty() ? std::string() : " (only " + nested + ")");

    // The long listing of that one entry starts with its kind: "-" for a
    // regular file, "l" for a symbolic link.
    const ChildRun entry = runHelper({"unzip", "-Z", zipPath, entryPoint});
    if (!entry.succeeded() || entry.output.empty())
        return "cannot be listed with unzip -Z";
    if (entry.output[0] != '-')
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
    const ChildRun zipped = runHelper({"zip", "-q", "-r", "-X", zipPath, "."}, directory);
    if (!zipped.started)
        return "cannot be zipped: zip cannot be run (Debian: zip)";
    if (!zipped.succeeded()) {
        const std::string why = firstLine(zipped.errorOutput.empty() ? zipped.output : zipped.errorOutput);
        return "cannot be zipped" + (why.empty() ? std::string() : ": " + why);
    }
    return {};
}
