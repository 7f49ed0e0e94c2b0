// runChild as unzip, the agent's shell and the bundle tool's helpers use it:
// what a program says is gathered while it runs, the wait ends with the
// program, and a termination signal meanwhile is handed to the caller.

#include "platform/child_process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

ChildProcessOptions shellLine(const std::string& line)
{
    ChildProcessOptions options;
    options.argv = {"sh", "-c", line};
    options.inputFromNull = true;
    return options;
}

} // namespace

TEST(RunChild, GathersWhatTheProgramSaysTogetherOrApart)
{
    // More than a pipe holds on each stream, standard error first: a reader
    // of one stream at a time would wait for ever.
    const std::string big = "head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o";
    const ChildRun apart = runChild(shellLine(big + "; exit 3"), ChildOutput::Apart);
    ASSERT_TRUE(apart.started) << apart.whyNot;
    EXPECT_TRUE(WIFEXITED(apart.waitStatus) && WEXITSTATUS(apart.waitStatus) == 3) << apart.waitStatus;
    EXPECT_FALSE(apart.succeeded());
    EXPECT_EQ(apart.errorOutput, std::string(300000, 'e'));
    EXPECT_EQ(apart.output, std::string(200000, 'o'));

    const ChildRun together = runChild(shellLine("echo one; echo two >&2; echo three"), ChildOutput::Together);
    EXPECT_TRUE(together.succeeded()) << together.waitStatus;
    EXPECT_EQ(together.output, "one\ntwo\nthree\n");
    EXPECT_EQ(together.errorOutput, "");

    ChildProcessOptions absent;
    absent.argv = {"no-such-program-for-the-launcher-tests"};
    const ChildRun missing = runChild(absent, ChildOutput::Apart);
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.succeeded());
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_NE(missing.whyNot.find("No such file"), std::string::npos) << missing.whyNot;
}

TEST(RunChild, EndsWithTheProgramNotWithWhatItLeftRunningInTheBackground)
{
    ScratchDir scratch;
    // The background sleep holds the output pipe open; waiting for the end
    // of the output would wait for it.
    const ChildRun run = runChild(
        shellLine("echo said; sleep 600 & echo $! > " + scratch / "pid" + "; echo done"), ChildOutput::Together);
    EXPECT_TRUE(run.succeeded()) << run.waitStatus;
    EXPECT_EQ(run.output, "said\ndone\n");
    kill(std::stoi(readFile(scratch / "pid")), SIGKILL);
}

TEST(RunChild, ATerminationSignalMeanwhileGoesToTheCallerNotToTheLauncher)
{
    ScratchDir scratch;
    const std::string ready = scratch / "ready";
    std::vector<int> received;
    bool sent = false;
    const ChildRun run = runChild(
        // Its output gathered, so that a test killed by the signal leaves no
        // sleep behind that holds the test runner's output open.
        shellLine(": > " + ready + "; exec sleep 600"), ChildOutput::Together,
        [&received](ChildProcess& child, int signal, bool sentByAProcess) {
            received.push_back(signal);
            EXPECT_TRUE(sentByAProcess);
            child.sendSignal(SIGKILL);
        },
        [&] {
            // Called while the program runs: the moment to signal the launcher.
            if (!sent && pathExists(ready)) {
                sent = true;
                kill(getpid(), SIGTERM);
            }
        });
    EXPECT_EQ(received, std::vector<int>{SIGTERM});
    EXPECT_TRUE(WIFSIGNALED(run.waitStatus) && WTERMSIG(run.waitStatus) == SIGKILL) << run.waitStatus;

    // A signal that comes as soon as the program runs is the caller's too.
    received.clear();
    const ChildRun early = runChild(shellLine("kill -TERM $PPID; exec sleep 600"), ChildOutput::Together,
                                    [&received](ChildProcess& child, int signal, bool) {
                                        received.push_back(signal);
                                        child.sendSignal(SIGKILL);
                                    });
    EXPECT_EQ(received, std::vector<int>{SIGTERM});
}
