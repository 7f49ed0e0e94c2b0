#include "provisioning/unzip_install_agent.h"

#include "platform/child_on_loop.h"
#include "platform/child_process.h"
#include "platform/system_log.h"

#include <csignal>
#include <exception>
#include <sys/stat.h>
#include <vector>

namespace {

// How much of what unzip said goes to the log when it fails.
constexpr std::size_t loggedLines = 10;
// Seconds between two calls of "meanwhile" while unzip runs.
constexpr double meanwhileInterval = 0.1;

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

// unzip runs without a terminal and with nothing to read: an encrypted
// archive or a full disk, where it would ask a question, is a failure at
// once instead of a run that waits for ever.
ChildProcessOptions unzipOptions(const std::string& zipPath, const std::string& destinationDir,
                                 const std::string& unzipProgram)
{
    ChildProcessOptions options;
    options.argv = {unzipProgram, "-qq", "-o", zipPath, "-d", destinationDir};
    options.inputFromNull = true;
    options.withoutTerminal = true;
    return options;
}

bool archiveExists(const std::string& zipPath)
{
    struct stat info {};
    return stat(zipPath.c_str(), &info) == 0;
}

// What an unzip that ran to its end comes to.
UnzipOutcome outcomeOf(const ChildRun& unzip)
{
    if (unzip.waitStatus == 0)
        return UnzipOutcome::Unpacked;
    logWhatUnzipSaid(unzip.output);
    return UnzipOutcome::Failed;
}

} // namespace

UnzipOutcome unpackInstallAgentArchive(const std::string& zipPath, const std::string& destinationDir,
                                       const std::string& unzipProgram, const std::function<void()>& meanwhile)
{
    if (!archiveExists(zipPath))
        return UnzipOutcome::NoArchive;
    bool interrupted = false;
    const ChildRun unzip = runChild(
        unzipOptions(zipPath, destinationDir, unzipProgram), ChildOutput::Together,
        [&interrupted](ChildProcess& child, int, bool) {
            interrupted = true;
            child.sendSignal(SIGTERM);
        },
        meanwhile);
    if (unzip.interrupted)
        return UnzipOutcome::Interrupted;
    if (!unzip.started) {
        systemLog("unzip: cannot be started: " + unzip.whyNot);
        return UnzipOutcome::Failed;
    }
    if (interrupted)
        return UnzipOutcome::Interrupted;
    return outcomeOf(unzip);
}

std::unique_ptr<ArchiveUnpacking> ArchiveUnpacking::start(EventLoop& loop, const std::string& zipPath,
                                                          const std::string& destinationDir,
                                                          const std::string& unzipProgram, Done done,
                                                          std::function<void()> meanwhile, UnzipOutcome& notStarted)
{
    if (!archiveExists(zipPath)) {
        notStarted = UnzipOutcome::NoArchive;
        return nullptr;
    }
    std::unique_ptr<ArchiveUnpacking> unpacking(new ArchiveUnpacking(loop, std::move(done), std::move(meanwhile)));
    std::string whyNot;
    ArchiveUnpacking* const self = unpacking.get();
    unpacking->unzip_ = ChildOnLoop::start(
        loop, unzipOptions(zipPath, destinationDir, unzipProgram),
        [self](const ChildRun& run) { self->ended(run); }, whyNot);
    if (!unpacking->unzip_) {
        systemLog("unzip: cannot be started: " + whyNot);
        notStarted = UnzipOutcome::Failed;
        return nullptr;
    }
    unpacking->scheduleMeanwhile();
    return unpacking;
}

ArchiveUnpacking::ArchiveUnpacking(EventLoop& loop, Done done, std::function<void()> meanwhile)
    : loop_(loop), done_(std::move(done)), meanwhile_(std::move(meanwhile))
{
}

ArchiveUnpacking::~ArchiveUnpacking()
{
    if (meanwhileCall_ != 0)
        loop_.cancelCall(meanwhileCall_);
    // unzip_, if it still runs, is killed and reaped as it goes.
}

void ArchiveUnpacking::scheduleMeanwhile()
{
    if (!meanwhile_)
        return;
    meanwhileCall_ = loop_.callLater(meanwhileInterval, [this] {
        meanwhileCall_ = 0;
        meanwhile_();
        scheduleMeanwhile();
    });
}

void ArchiveUnpacking::ended(const ChildRun& run)
{
    if (meanwhileCall_ != 0)
        loop_.cancelCall(meanwhileCall_);
    meanwhileCall_ = 0;
    const UnzipOutcome outcome = outcomeOf(run);
    const Done done = std::move(done_);
    if (done)
        done(outcome); // may destroy this object
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
