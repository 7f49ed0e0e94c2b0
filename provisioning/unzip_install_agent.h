#pragma once

#include "launcher/error_reporter.h"
#include "platform/event_loop.h"

#include <functional>
#include <memory>
#include <string>

class ChildOnLoop;
struct ChildRun;

enum class UnzipOutcome {
    Unpacked,
    NoArchive,   // nothing at the archive's path: unzip did not run
    Failed,      // unzip failed or could not be started; what it said is in the log
    Interrupted, // SIGINT, SIGTERM or SIGHUP ended it: the run is to end as if cancelled
};

// Unpacks zipPath into destinationDir with "<unzip> -qq -o <zip> -d <dir>",
// the program found on PATH. unzip gets no terminal and reads /dev/null, so
// it never waits for an answer; a termination signal meanwhile ends it.
// meanwhile, when given, is called every tenth of a second while unzip runs.
UnzipOutcome unpackInstallAgentArchive(const std::string& zipPath, const std::string& destinationDir,
                                       const std::string& unzipProgram, const std::function<void()>& meanwhile = {});

// The same on the caller's event loop, which goes on serving everything else
// while unzip runs. Dropping the object before done has come kills unzip
// (and whatever it started) and reaps it: that is how it is cancelled, and
// done then never comes.
class ArchiveUnpacking {
public:
    // Unpacked or Failed, on the loop, once unzip has ended. May destroy the object.
    using Done = std::function<void(UnzipOutcome outcome)>;

    // Starts unzip; meanwhile, when given, is called every tenth of a second
    // while it runs. Null when unzip does not run: notStarted then says why
    // (NoArchive, or Failed after a log line), and done never comes.
    static std::unique_ptr<ArchiveUnpacking> start(EventLoop& loop, const std::string& zipPath,
                                                   const std::string& destinationDir, const std::string& unzipProgram,
                                                   Done done, std::function<void()> meanwhile,
                                                   UnzipOutcome& notStarted);
    ~ArchiveUnpacking();
    ArchiveUnpacking(const ArchiveUnpacking&) = delete;
    ArchiveUnpacking& operator=(const ArchiveUnpacking&) = delete;

private:
    ArchiveUnpacking(EventLoop& loop, Done done, std::function<void()> meanwhile);
    void scheduleMeanwhile();
    void ended(const ChildRun& run);

    EventLoop& loop_;
    Done done_;
    std::function<void()> meanwhile_;
    EventLoop::CallId meanwhileCall_ = 0;
    std::unique_ptr<ChildOnLoop> unzip_;
};

// The same as a yes or no: false, silently, when the archive does not exist
// or unzip was interrupted; false after reporting "Failed to unzip the
// install agent" when unzip fails or cannot be run.
bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter);
// The same, telling an interrupted unzip apart.
bool unzipInstallAgent(std::string zipPath, std::string destinationDir, std::string unzipProgram,
                       ErrorReporter reporter, bool& interrupted);
