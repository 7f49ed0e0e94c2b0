// SIGINT, SIGTERM and SIGHUP become calls on the event loop while a
// TerminationSignals object lives, and get their former handling back after.

#include "platform/poll_event_loop.h"
#include "platform/termination_signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

namespace {

constexpr double kGuardSeconds = 30.0;
constexpr int kGuardResult = -999;

volatile sig_atomic_t formerHandlerCalls = 0;
volatile sig_atomic_t formerHandlerSignal = 0;

extern "C" void formerHandler(int signal)
{
    formerHandlerCalls = formerHandlerCalls + 1;
    formerHandlerSignal = signal;
}

// Installs formerHandler for the three signals for the length of a test and
// puts back whatever was there before.
class FormerHandlers {
public:
    FormerHandlers()
    {
        struct sigaction action {};
        action.sa_handler = formerHandler;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i)
            sigaction(kSignals[i], &action, &saved_[i]);
        formerHandlerCalls = 0;
        formerHandlerSignal = 0;
    }
    ~FormerHandlers()
    {
        for (int i = 0; i < 3; ++i)
            sigaction(kSignals[i], &saved_[i], nullptr);
    }

    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

private:
    struct sigaction saved_[3];
};

void (*currentHandler(int signal))(int)
{
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

int runGuarded(EventLoop& loop)
{
    const EventLoop::CallId guard = loop.callLater(kGuardSeconds, [&loop] { loop.stop(kGuardResult); });
    const int result = loop.run();
    loop.cancelCall(guard);
    return result;
}

TEST(TerminationSignals, EachSignalBecomesACallOnTheLoop)
{
    FormerHandlers former;
    auto loop = createPollEventLoop();
    for (const int sig : FormerHandlers::kSignals) {
        std::vector<int> received;
        {
            TerminationSignals signals(*loop, [&](int signal) {
                received.push_back(signal);
                loop->stop(signal);
            });
            ASSERT_EQ(0, raise(sig));
            // The handler only queued it: nothing is called outside the loop.
            EXPECT_TRUE(received.empty());
            EXPECT_EQ(sig, runGuarded(*loop));
        }
        EXPECT_EQ(std::vector<int>{sig}, received) << "signal " << sig;
        EXPECT_EQ(0, formerHandlerCalls) << "signal " << sig;
    }
}

TEST(TerminationSignals, SeveralSignalsComeInOrder)
{
    FormerHandlers former;
    auto loop = createPollEventLoop();
    std::vector<int> received;
    TerminationSignals signals(*loop, [&](int signal) {
        received.push_back(signal);
        if (received.size() == 3)
            loop->stop(1);
    });
    ASSERT_EQ(0, raise(SIGHUP));
    ASSERT_EQ(0, raise(SIGINT));
    ASSERT_EQ(0, raise(SIGTERM));
    EXPECT_EQ(1, runGuarded(*loop));
    EXPECT_EQ((std::vector<int>{SIGHUP, SIGINT, SIGTERM}), received);
}

TEST(TerminationSignals, FormerHandlersComeBack)
{
    FormerHandlers former;
    auto loop = createPollEventLoop();
    {
        TerminationSignals signals(*loop, [](int) {});
        for (const int sig : FormerHandlers::kSignals)
            EXPECT_NE(formerHandler, currentHandler(sig)) << "signal " << sig;
    }
    for (const int sig : FormerHandlers::kSignals)
        EXPECT_EQ(formerHandler, currentHandler(sig)) << "signal " << sig;

    ASSERT_EQ(0, raise(SIGTERM));
    EXPECT_EQ(1, formerHandlerCalls);
    EXPECT_EQ(SIGTERM, formerHandlerSignal);
}

TEST(TerminationSignals, NestedObjectsPutBackWhatTheyFound)
{
    FormerHandlers former;
    auto loop = createPollEventLoop();
    std::vector<int> outerReceived;
    {
        TerminationSignals outer(*loop, [&](int signal) {
            outerReceived.push_back(signal);
            loop->stop(signal);
        });
        {
            TerminationSignals inner(*loop, [&](int signal) { loop->stop(100 + signal); });
            ASSERT_EQ(0, raise(SIGINT));
            EXPECT_EQ(100 + SIGINT, runGuarded(*loop));
        }
        ASSERT_EQ(0, raise(SIGTERM));
        EXPECT_EQ(SIGTERM, runGuarded(*loop));
    }
    EXPECT_EQ(std::vector<int>{SIGTERM}, outerReceived);
    EXPECT_EQ(formerHandler, currentHandler(SIGTERM));
}

TEST(TerminationSignals, TheCallbackMayDestroyTheObject)
{
    FormerHandlers former;
    auto loop = createPollEventLoop();
    std::unique_ptr<TerminationSignals> signals;
    int calls = 0;
    signals = std::make_unique<TerminationSignals>(*loop, [&](int signal) {
        ++calls;
        signals.reset();
        loop->stop(signal);
    });
    // Two signals queued: the second must not reach the destroyed object.
    ASSERT_EQ(0, raise(SIGTERM));
    ASSERT_EQ(0, raise(SIGHUP));
    EXPECT_EQ(SIGTERM, runGuarded(*loop));
    loop->callLater(0.05, [&] { loop->stop(0); });
    EXPECT_EQ(0, runGuarded(*loop));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(formerHandler, currentHandler(SIGHUP));
}

// A signal that comes between two steps, while no loop listens, is kept
// for the run: the next object is told at once, and the run can ask.
TEST(TerminationRecord, KeepsTheFirstSignalForWhatComesAfter)
{
    FormerHandlers former;
    auto loop = createPollEventLoop();
    {
        TerminationRecord record;
        EXPECT_EQ(0, pendingTerminationSignal());
        ASSERT_EQ(0, raise(SIGHUP));
        ASSERT_EQ(0, raise(SIGTERM));
        EXPECT_EQ(SIGHUP, pendingTerminationSignal());
        EXPECT_EQ(0, formerHandlerCalls) << "the signal reached the former handler";
        TerminationSignals later(*loop, [&](int signal) { loop->stop(signal); });
        EXPECT_EQ(SIGHUP, runGuarded(*loop));
    }
    EXPECT_EQ(0, pendingTerminationSignal());
    EXPECT_EQ(formerHandler, currentHandler(SIGHUP));
}

} // namespace
