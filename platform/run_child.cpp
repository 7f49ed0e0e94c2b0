#include "platform/child_process.h"

#include "platform/poll_event_loop.h"
#include "platform/termination_signals.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

// Running a program to its end: its output gathered while the launcher
// waits on a loop of its own, and termination signals handled meanwhile.

namespace {

// One stream of a child's output: the end the launcher reads, and where it goes.
struct GatheredStream {
    int fd;
    std::string* sink;
};

// The loop a child is waited for on, and the handling of termination
// signals meanwhile. Both come before the child starts: a signal that comes
// as soon as the child runs must not go to whoever handled signals before,
// who would hear of it only once the child has ended.
struct ChildWait {
    std::unique_ptr<EventLoop> loop = createPollEventLoop();
    std::optional<TerminationSignals> signals;
    ChildProcess* child = nullptr;

    explicit ChildWait(const ChildSignalHandler& onSignal)
    {
        // The signal pipe is read only once the loop runs, when child is set.
        if (onSignal)
            signals.emplace(*loop, [this, &onSignal](int signal, bool sentByAProcess) {
                onSignal(*child, signal, sentByAProcess);
            });
    }
};

// Waits on the wait's loop until the child has ended; its wait status.
int waitGathering(ChildWait& wait, ChildProcess& child, const std::vector<GatheredStream>& streams,
                  const std::function<void()>& meanwhile)
{
    EventLoop& loop = *wait.loop;
    wait.child = &child;
    // Read without waiting: whatever the child started in the background may
    // hold a pipe open long after the child is gone.
    for (const GatheredStream& stream : streams) {
        fcntl(stream.fd, F_SETFL, fcntl(stream.fd, F_GETFL) | O_NONBLOCK);
        loop.watchDescriptor(stream.fd, true, false, [&loop, stream](int fd, bool, bool) {
            if (readAvailable(fd, *stream.sink))
                loop.stopWatching(fd);
        });
    }
    child.whenExited(loop, [&loop](int) { loop.stop(0); });
    std::function<void()> tick;
    tick = [&] {
        meanwhile();
        loop.callLater(0.1, tick);
    };
    if (meanwhile)
        loop.callLater(0.1, tick);
    loop.run();
    for (const GatheredStream& stream : streams) {
        readAvailable(stream.fd, *stream.sink);
        loop.stopWatching(stream.fd);
    }
    child.stopWatching();
    return child.waitStatus().value_or(-1);
}

} // namespace

ChildRun runChild(const ChildProcessOptions& given, ChildOutput output, const ChildSignalHandler& onSignal,
                  const std::function<void()>& meanwhile)
{
    ChildRun run;
    PipeFds out;
    PipeFds err;
    if ((output != ChildOutput::Inherited && !makePipe(out)) || (output == ChildOutput::Apart && !makePipe(err))) {
        run.error = errno;
        run.whyNot = std::string("cannot make a pipe for its output: ") + std::strerror(run.error);
        return run;
    }
    ChildProcessOptions options = given;
    if (out.write)
        options.outputFd = out.write.get();
    if (err.write)
        options.errorFd = err.write.get();
    // A run that a termination signal has ended already starts nothing: the
    // signals are taken over first, so no signal falls between the two.
    ChildWait wait(onSignal);
    if (onSignal && pendingTerminationSignal() != 0) {
        run.interrupted = true;
        run.error = EINTR;
        run.whyNot = "the run is ending: a termination signal came first";
        return run;
    }
    const std::unique_ptr<ChildProcess> child = ChildProcess::start(options, run.whyNot);
    run.error = child ? 0 : errno;
    // Only the child may hold the write ends: the streams end when it does.
    out.write.reset();
    err.write.reset();
    if (!child)
        return run;

    run.started = true;
    std::vector<GatheredStream> streams;
    if (out.read)
        streams.push_back({out.read.get(), &run.output});
    if (err.read)
        streams.push_back({err.read.get(), &run.errorOutput});
    run.waitStatus = waitGathering(wait, *child, streams, meanwhile);
    return run;
}
