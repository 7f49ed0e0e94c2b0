// The poll(2) event loop: timers, descriptor watches, stop(), and callbacks
// that change the loop while it is calling them.

#include "platform/poll_event_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

// A guard against a loop that never stops; reaching it fails the test
// through the result, never through a measured time.
constexpr double kGuardSeconds = 30.0;
constexpr int kGuardResult = -999;

class Pipe {
public:
    Pipe()
    {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    ~Pipe()
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void put(char c = 'x') const { ASSERT_EQ(1, write(fds_[1], &c, 1)); }
    int take() const
    {
        char c = 0;
        return read(fds_[0], &c, 1) == 1 ? c : -1;
    }

private:
    int fds_[2] = {-1, -1};
};

int runGuarded(EventLoop& loop)
{
    const EventLoop::CallId guard = loop.callLater(kGuardSeconds, [&loop] { loop.stop(kGuardResult); });
    const int result = loop.run();
    loop.cancelCall(guard);
    return result;
}

TEST(PollEventLoopTimers, FireInOrderOfDueTimeAndCreation)
{
    auto loop = createPollEventLoop();
    std::vector<std::string> fired;
    loop->callLater(0.06, [&] { fired.push_back("60ms"); loop->stop(1); });
    loop->callLater(0.02, [&] { fired.push_back("20ms"); });
    loop->callLater(0.0, [&] { fired.push_back("0 first"); });
    loop->callLater(0.04, [&] { fired.push_back("40ms"); });
    loop->callLater(0.0, [&] { fired.push_back("0 second"); });
    loop->callLater(-5.0, [&] { fired.push_back("negative"); }); // taken as 0

    EXPECT_EQ(1, runGuarded(*loop));
    EXPECT_EQ((std::vector<std::string>{"0 first", "0 second", "negative", "20ms", "40ms", "60ms"}), fired);
}

TEST(PollEventLoopTimers, CancelledCallsNeverRun)
{
    auto loop = createPollEventLoop();
    std::vector<std::string> fired;
    const auto early = loop->callLater(0.01, [&] { fired.push_back("early"); });
    loop->callLater(0.0, [&] { fired.push_back("first"); });
    // Due in the same turn as "first", cancelled by it before its turn comes.
    EventLoop::CallId sameTurn = 0;
    loop->callLater(0.0, [&] {
        fired.push_back("canceller");
        loop->cancelCall(sameTurn);
    });
    sameTurn = loop->callLater(0.0, [&] { fired.push_back("same turn"); });
    loop->callLater(0.05, [&] { loop->stop(2); });
    loop->cancelCall(early);
    loop->cancelCall(early);     // twice: nothing happens
    loop->cancelCall(123456789); // unknown: nothing happens

    EXPECT_EQ(2, runGuarded(*loop));
    EXPECT_EQ((std::vector<std::string>{"first", "canceller"}), fired);
}

TEST(PollEventLoopTimers, ZeroDelayFromACallbackRunsOnALaterTurn)
{
    // A call that keeps scheduling itself with delay 0 must let descriptors
    // have their turn; if it ran within the same turn the loop would never
    // poll and the pipe's callback would never come.
    auto loop = createPollEventLoop();
    Pipe pipe;
    pipe.put();
    int rounds = 0;
    std::function<void()> again = [&] {
        if (++rounds > 1000) {
            loop->stop(-1);
            return;
        }
        loop->callLater(0.0, again);
    };
    loop->callLater(0.0, again);
    loop->watchDescriptor(pipe.readEnd(), true, false, [&](int, bool, bool) { loop->stop(7); });

    EXPECT_EQ(7, runGuarded(*loop));
    EXPECT_LT(rounds, 1000);
}

TEST(PollEventLoopDescriptors, ReadinessIsReportedForWhatIsWatched)
{
    auto loop = createPollEventLoop();
    Pipe pipe;
    std::vector<std::string> seen;
    loop->watchDescriptor(pipe.readEnd(), true, false, [&](int fd, bool readable, bool writable) {
        EXPECT_EQ(pipe.readEnd(), fd);
        seen.push_back(std::string("read end:") + (readable ? " readable" : "") + (writable ? " writable" : ""));
        EXPECT_EQ('q', pipe.take());
        loop->stop(3);
    });
    // Nothing to read yet: the watch must stay quiet until the byte comes.
    loop->callLater(0.05, [&] {
        seen.push_back("byte written");
        pipe.put('q');
    });

    EXPECT_EQ(3, runGuarded(*loop));
    EXPECT_EQ((std::vector<std::string>{"byte written", "read end: readable"}), seen);

    // The empty pipe's write end is writable at once.
    loop->stopWatching(pipe.readEnd());
    loop->watchDescriptor(pipe.writeEnd(), false, true, [&](int fd, bool readable, bool writable) {
        EXPECT_EQ(pipe.writeEnd(), fd);
        EXPECT_FALSE(readable);
        EXPECT_TRUE(writable);
        loop->stop(4);
    });
    EXPECT_EQ(4, runGuarded(*loop));
}

TEST(PollEventLoopDescriptors, StopWatchingAndReplacingAWatch)
{
    auto loop = createPollEventLoop();
    Pipe pipe;
    pipe.put();
    int stopped = 0;
    int replaced = 0;
    int replacement = 0;
    loop->watchDescriptor(pipe.readEnd(), true, false, [&](int, bool, bool) { ++stopped; });
    loop->stopWatching(pipe.readEnd());
    loop->stopWatching(pipe.readEnd()); // twice: nothing happens
    loop->stopWatching(-1);
    loop->callLater(0.05, [&] { loop->stop(1); });
    EXPECT_EQ(1, runGuarded(*loop));
    EXPECT_EQ(0, stopped);

    loop->watchDescriptor(pipe.readEnd(), true, false, [&](int, bool, bool) { ++replaced; });
    loop->watchDescriptor(pipe.readEnd(), true, false, [&](int, bool, bool) {
        ++replacement;
        loop->stop(2);
    });
    EXPECT_EQ(2, runGuarded(*loop));
    EXPECT_EQ(0, replaced);
    EXPECT_EQ(1, replacement);
}

TEST(PollEventLoopStop, FirstStopDecidesAndEachRunStartsAfresh)
{
    auto loop = createPollEventLoop();
    std::vector<std::string> fired;
    loop->callLater(0.0, [&] {
        fired.push_back("stopper");
        loop->stop(1);
        loop->stop(2);
    });
    loop->callLater(0.0, [&] { fired.push_back("after stop, same turn"); });
    EXPECT_EQ(1, runGuarded(*loop));
    EXPECT_EQ((std::vector<std::string>{"stopper"}), fired);

    // The call left over from the first run comes in the second one.
    loop->callLater(0.02, [&] { loop->stop(5); });
    EXPECT_EQ(5, runGuarded(*loop));
    EXPECT_EQ((std::vector<std::string>{"stopper", "after stop, same turn"}), fired);

    // stop() before run(): run() returns at once with that result.
    loop->stop(9);
    loop->stop(10);
    EXPECT_EQ(9, loop->run());
    // ...and only once.
    loop->callLater(0.0, [&] { loop->stop(0); });
    EXPECT_EQ(0, runGuarded(*loop));
}

TEST(PollEventLoopReentrancy, CallbacksMayChangeWatchesWhileDispatched)
{
    auto loop = createPollEventLoop();
    Pipe first;
    Pipe second;
    first.put();
    second.put();
    std::vector<std::string> seen;

    // Whichever of the two ready pipes comes first removes the other's watch
    // and its own; the removed one must not be called in the same turn.
    const auto both = [&](int fd, bool, bool) {
        seen.push_back(fd == first.readEnd() ? "first" : "second");
        loop->stopWatching(first.readEnd());
        loop->stopWatching(second.readEnd());
        loop->callLater(0.05, [&] { loop->stop(1); });
    };
    loop->watchDescriptor(first.readEnd(), true, false, both);
    loop->watchDescriptor(second.readEnd(), true, false, both);
    EXPECT_EQ(1, runGuarded(*loop));
    EXPECT_EQ(1u, seen.size());
}

TEST(PollEventLoopReentrancy, ACallbackMayDropItsOwnStateWhileRunning)
{
    // The watch's callback owns state through its closure; removing the
    // watch from inside the callback destroys the stored closure, and the
    // running one must still be whole (AddressSanitizer watches this).
    auto loop = createPollEventLoop();
    Pipe pipe;
    pipe.put();
    auto state = std::make_shared<std::string>("still here");
    std::string seen;
    loop->watchDescriptor(pipe.readEnd(), true, false, [&, state](int fd, bool, bool) {
        loop->stopWatching(fd);
        loop->watchDescriptor(fd, false, false, nullptr); // replaced by an empty watch
        loop->stopWatching(fd);
        seen = *state;
        loop->stop(1);
    });
    state.reset();
    EXPECT_EQ(1, runGuarded(*loop));
    EXPECT_EQ("still here", seen);

    auto timerState = std::make_shared<std::string>("timer state");
    EventLoop::CallId self = 0;
    self = loop->callLater(0.0, [&, timerState] {
        loop->cancelCall(self); // already running: nothing to cancel, nothing breaks
        seen = *timerState;
        loop->stop(2);
    });
    timerState.reset();
    EXPECT_EQ(2, runGuarded(*loop));
    EXPECT_EQ("timer state", seen);
}

TEST(PollEventLoopReentrancy, TimersAddedAndWatchesAddedFromCallbacksWork)
{
    auto loop = createPollEventLoop();
    Pipe pipe;
    std::vector<std::string> seen;
    loop->callLater(0.0, [&] {
        seen.push_back("timer");
        loop->watchDescriptor(pipe.readEnd(), true, false, [&](int fd, bool readable, bool) {
            seen.push_back(readable ? "readable" : "not readable");
            pipe.take();
            loop->stopWatching(fd);
            loop->callLater(0.0, [&] {
                seen.push_back("nested timer");
                loop->stop(6);
            });
        });
        pipe.put();
    });
    EXPECT_EQ(6, runGuarded(*loop));
    EXPECT_EQ((std::vector<std::string>{"timer", "readable", "nested timer"}), seen);
}

extern "C" void ignoreAlarm(int) {}

TEST(PollEventLoopSignals, AnInterruptedWaitGoesOn)
{
    // SIGALRM interrupts poll() (EINTR); the loop must go on waiting and
    // still run its timer.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreAlarm;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
    itimerval interval{};
    interval.it_value.tv_usec = 20000;
    interval.it_interval.tv_usec = 20000;
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &interval, nullptr));

    auto loop = createPollEventLoop();
    loop->callLater(0.3, [&] { loop->stop(8); });
    const int result = runGuarded(*loop);

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(8, result);
}

} // namespace
