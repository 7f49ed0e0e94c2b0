#include "provisioning/unzip_install_agent.h"

#include "platform/child_process.h"
#include "platform/system_log.h"

#include <csignal>
#include <exception>
#include <sys/stat.h>
#include <vector>

namespace {

// How much of what unzip said goes to the log when it fails.
constexpr std::size_t loggedLines = 10;

void logWhatUnzipSaid(const std::string& output)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < output.size()) {
        auto end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        while (!line.empty() && line.front() == ' ')
            line.erase(line.begin());
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    const std::size_t first = lines.size() > loggedLines ? lines.size() - loggedLines : 0;
    for (std::size_t i = first; i < lines.size(); ++i)
        systemLog("unzip: " + lines[i]);
}

} // namespace

UnzipOutcome unpackInstallAgentArchive(const std::string& zipPath, const std::string& destinationDir,
                                       const std::string& unzipProgram, const std::function<void()>& meanwhile)
{
    struct stat info {};
    if (stat(zipPath.c_str(), &info) != 0)
        return UnzipOutcome::NoArchive;

    // unzip runs without a terminal and with nothing to read: an encrypted
    // archive or a full disk, where it would ask a question, is a failure
    // at once instead of a run that waits for ever.
    ChildProcessOptions options;
    options.argv = {unzipProgram, "-qq", "-o", zipPath, "-d", destinationDir};
    options.inputFromNull = true;
    options.withoutTerminal = true;
    bool interrupted = false;
    const ChildRun unzip = runChild(
        options, ChildOutput::Together,
        [&interrupted](ChildProcess& child, int, bool) {
            interrupted = true;
            child.sendSignal(SIGTERM);
        },
        meanwhile);
    if (!unzip.started) {
        systemLog("unzip: cannot be started: " + unzip.whyNot);
        return UnzipOutcome::Failed;
    }
    if (interrupted)
        return UnzipOutcome::Interrupted;
    if (unzip.waitStatus == 0)
        return UnzipOutcome::Unpacked;
    logWhatUnzipSaid(unzip.output);
    return UnzipOutcome::Failed;
}

bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter)
{
    bool interrupted = false;
    return unzipInstallAgent(std::move(zipPath), std::move(destinationDir), std::move(unzipProgram), reporter,
                             interrupted);
}

bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter, bool& interrupted)
{
    UnzipOutcome outcome = UnzipOutcome::Failed;
    try {
        outcome = unpackInstallAgentArchive(zipPath, destinationDir, unzipProgram);
    } catch (const std::exception&) {
        return false;
    }
    interrupted = outcome == UnzipOutcome::Interrupted;
    if (outcome == UnzipOutcome::Failed)
        reporter("Failed to unzip the install agent", true);
    return outcome == UnzipOutcome::Unpacked;
}
