#pragma once

#include "platform/child_process.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"

#include <functional>
#include <memory>
#include <string>

// A program run to its end on the caller's event loop, where runChild waits
// on a loop of its own: its standard output and standard error gathered
// together through a pipe the loop watches, its end seen through
// ChildProcess::whenExited. The loop goes on serving everything else (a
// window that draws, a close box, a signal) while the program runs.
// Dropping the object before the end kills the program (with its session,
// when it has one) and reaps it; then done is never called.
class ChildOnLoop {
public:
    // Told once, on the loop, when the program has ended: run.started is
    // true, run.waitStatus and run.output are filled. May destroy the object.
    using Done = std::function<void(const ChildRun& run)>;

    // Starts the program (its outputFd and errorFd are this object's pipe).
    // Null when it cannot be started: whyNot then holds the system's reason,
    // and done is never called.
    static std::unique_ptr<ChildOnLoop> start(EventLoop& loop, const ChildProcessOptions& options, Done done,
                                              std::string& whyNot);
    ~ChildOnLoop();
    ChildOnLoop(const ChildOnLoop&) = delete;
    ChildOnLoop& operator=(const ChildOnLoop&) = delete;

    pid_t pid() const { return child_->pid(); }

private:
    ChildOnLoop(EventLoop& loop, std::unique_ptr<ChildProcess> child, UniqueFd output, Done done);
    void gather();
    void ended(int waitStatus);

    EventLoop& loop_;
    std::unique_ptr<ChildProcess> child_;
    UniqueFd output_;
    bool watchingOutput_ = false;
    ChildRun run_;
    Done done_;
};
