#include "platform/child_on_loop.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::unique_ptr<ChildOnLoop> ChildOnLoop::start(EventLoop& loop, const ChildProcessOptions& given, Done done,
                                                std::string& whyNot)
{
    PipeFds output;
    if (!makePipe(output, O_CLOEXEC | O_NONBLOCK)) {
        whyNot = std::string("cannot make a pipe for its output: ") + std::strerror(errno);
        return nullptr;
    }
    ChildProcessOptions options = given;
    options.outputFd = output.write.get();
    options.errorFd = -1;
    std::unique_ptr<ChildProcess> child = ChildProcess::start(options, whyNot);
    // Only the child may hold the write end: the stream ends when it does.
    output.write.reset();
    if (!child)
        return nullptr;
    std::unique_ptr<ChildOnLoop> running(
        new ChildOnLoop(loop, std::move(child), std::move(output.read), std::move(done)));
    return running;
}

ChildOnLoop::ChildOnLoop(EventLoop& loop, std::unique_ptr<ChildProcess> child, UniqueFd output, Done done)
    : loop_(loop), child_(std::move(child)), output_(std::move(output)), done_(std::move(done))
{
    run_.started = true;
    watchingOutput_ = true;
    loop_.watchDescriptor(output_.get(), true, false, [this](int, bool, bool) { gather(); });
    child_->whenExited(loop_, [this](int waitStatus) { ended(waitStatus); });
}

ChildOnLoop::~ChildOnLoop()
{
    if (watchingOutput_)
        loop_.stopWatching(output_.get());
    // The child, if still running, is killed and reaped as it goes.
}

void ChildOnLoop::gather()
{
    if (readAvailable(output_.get(), run_.output)) {
        loop_.stopWatching(output_.get());
        watchingOutput_ = false;
    }
}

void ChildOnLoop::ended(int waitStatus)
{
    // What is in the pipe now is taken; whatever the program left running in
    // the background may hold it open far longer, and is not waited for.
    if (watchingOutput_) {
        readAvailable(output_.get(), run_.output);
        loop_.stopWatching(output_.get());
        watchingOutput_ = false;
    }
    run_.waitStatus = waitStatus;
    const Done done = std::move(done_);
    const ChildRun run = std::move(run_);
    if (done)
        done(run); // may destroy this object
}
