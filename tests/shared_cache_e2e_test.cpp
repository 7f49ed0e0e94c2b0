// Several launchers sharing one user's cache, and launchers killed halfway:
// the built launcher against the test server, which holds responses back so
// that runs really overlap, and an unzip that can be held after it has
// unpacked (a shim in front of the real one). Each agent checks that all its
// files are there and says which version it is; the cache must end with a
// stamp that names the agent beside it, or with no stamp.

#include "platform/child_process.h"
#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/private_mounts.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace testsupport;

namespace {

// Version V of an agent: eight data files, checked when it starts and again
// when it ends (it may be held in between by $AGENT_HOLD).
std::string agentScript(const std::string& version)
{
    return "v='" + version + R"SCRIPT('
dir=$(dirname "$0")
check() {
  for n in 1 2 3 4 5 6 7 8; do
    [ "$(cat "$dir/data/$n" 2>/dev/null)" = "$v $n" ] || { echo broken; return; }
  done
  echo whole
}
echo "$v $(check)" > "$AGENT_RECORD/started"
if [ -n "$AGENT_HOLD" ]; then while [ ! -e "$AGENT_HOLD" ]; do sleep 0.05; done; fi
echo "$v $(check)" > "$AGENT_RECORD/ended"
)SCRIPT";
}

class SharedCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        bundle_ = sandbox_.flatBundle("Setup");
        // unzip, held after it has done its work while $UNZIP_HOLD names a
        // file that is not there yet. With $UNZIP_HOOK it leaves a named pipe
        // "hook" among what it unpacked, which holds the launcher up when it
        // writes the new agent out to the disk, until somebody opens it, and
        // tells in the file $UNZIP_HOOK its own pid and the pipe's path.
        const std::string realUnzip = findProgram("unzip");
        ASSERT_FALSE(realUnzip.empty());
        writeFile(shims_ + "/unzip",
                  "#!/bin/sh\n'" + realUnzip + "' \"$@\"; status=$?\n"
                  "if [ -n \"$UNZIP_HOLD\" ]; then : > \"$UNZIP_HOLD.waiting\"\n"
                  "  while [ ! -e \"$UNZIP_HOLD\" ]; do sleep 0.05; done; fi\n"
                  "if [ -n \"$UNZIP_HOOK\" ]; then for destination; do :; done; mkfifo \"$destination/hook\"\n"
                  "  printf '%s\\n%s\\n' $$ \"$destination/hook\" > \"$UNZIP_HOOK.part\"; mv \"$UNZIP_HOOK.part\" \"$UNZIP_HOOK\"; fi\n"
                  "exit $status\n",
                  0755);
    }

    // The query that serves version v (made once) with its ETag; with a
    // read-only directory "locked" beside the data, when asked.
    std::string agent(const std::string& version, bool withReadOnlyDirectory = false)
    {
        const std::string zip = scratch_ / (version + ".zip");
        if (!pathExists(zip)) {
            ArchiveFiles files;
            for (int n = 1; n <= 8; ++n)
                files.emplace_back("data/" + std::to_string(n), version + " " + std::to_string(n));
            std::vector<std::string> readOnly;
            if (withReadOnlyDirectory) {
                files.emplace_back("locked/key", version);
                readOnly.push_back("locked");
            }
            makeInstallAgentZip(zip, agentScript(version), files, readOnly);
        }
        return "file=" + zip + "&etag=%22" + version + "%22";
    }

    std::string url(const std::string& version, const std::string& more = "", bool withReadOnlyDirectory = false)
    {
        return server_.url("/agent.zip?" + agent(version, withReadOnlyDirectory) + more);
    }

    // Each run records into a directory of its own; the shims come first on
    // PATH; nothing is held unless the extra changes say so.
    ProcessOptions launchOptions(const std::string& run, const std::string& url, EnvChanges extra = {})
    {
        const std::string record = scratch_.makeDir("records/" + run);
        EnvChanges changes{{"AGENT_RECORD", record},
                           {"PATH", shims_ + ":" + std::string(std::getenv("PATH"))},
                           {"AGENT_HOLD", std::nullopt},
                           {"UNZIP_HOLD", std::nullopt},
                           {"UNZIP_HOOK", std::nullopt}};
        changes.insert(changes.end(), extra.begin(), extra.end());
        return sandbox_.options({bundle_.executable}, downloadingFrom(url, changes));
    }

    std::unique_ptr<BackgroundProcess> start(const std::string& run, const std::string& url, EnvChanges extra = {})
    {
        return std::make_unique<BackgroundProcess>(launchOptions(run, url, std::move(extra)));
    }

    ProcessResult runToEnd(const std::string& run, const std::string& url)
    {
        return runProcess(launchOptions(run, url));
    }

    // "v1 whole" when version v1 started with all its files; "" when no agent started.
    std::string started(const std::string& run, const std::string& when = "started")
    {
        const std::string record = scratch_ / ("records/" + run + "/" + when);
        if (!pathExists(record))
            return {};
        std::string text = readFile(record);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    // The stamp names the agent beside it, or there is no stamp; nothing of
    // unfinished work is left.
    void expectConsistentCache(const std::string& expectedVersion = "")
    {
        const std::string stampPath = cacheDir_ + ".validatestring";
        const std::vector<std::string> entries = listDirectory(cacheDir_);
        for (const std::string& entry : entries)
            EXPECT_TRUE(entry == ".lock" || entry == ".validatestring" || entry == "installagent")
                << "left behind: " << entry;
        if (!pathExists(stampPath)) {
            EXPECT_TRUE(expectedVersion.empty()) << "no stamp; expected " << expectedVersion;
            return;
        }
        const std::string stamp = readFile(stampPath);
        ASSERT_GE(stamp.size(), 2u);
        const std::string version = stamp.substr(1, stamp.size() - 2);
        if (!expectedVersion.empty()) {
            EXPECT_EQ(version, expectedVersion);
        }
        const std::string install = readFile(cacheDir_ + "installagent/install");
        EXPECT_EQ(install.rfind("v='" + version + "'", 0), 0u) << "stamp " << stamp << " beside another agent";
        for (int n = 1; n <= 8; ++n)
            EXPECT_EQ(readFile(cacheDir_ + "installagent/data/" + std::to_string(n)), version + " " + std::to_string(n));
    }

    static void expectSucceeded(const ProcessResult& result)
    {
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe() << "\n" << result.err;
    }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
    const std::string& cacheDir_ = sandbox_.cacheDir;
    HttpTestServer server_;
    BundleLayout bundle_;
    std::string shims_ = scratch_.makeDir("shims");
};

TEST_F(SharedCache, SameVersionRunsReleasedTogetherAllStartTheSameWholeAgent)
{
    const std::string together = url("v1", "&hold=together");
    const std::string agentsGo = scratch_ / "agents-go";
    std::vector<std::unique_ptr<BackgroundProcess>> runs;
    for (int i = 0; i < 4; ++i)
        runs.push_back(start("run" + std::to_string(i), together, {{"AGENT_HOLD", agentsGo}}));
    ASSERT_TRUE(runs[0]->waitUntil([&] { return server_.heldRequests() == 4; }));
    server_.release("together");

    // The four agents run side by side: none waits for another to end.
    ASSERT_TRUE(runs[0]->waitUntil([&] {
        for (int i = 0; i < 4; ++i)
            if (started("run" + std::to_string(i)).empty())
                return false;
        return true;
    }));
    writeFile(agentsGo, "");
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        expectSucceeded(runs[i]->wait());
        EXPECT_EQ(started("run" + std::to_string(i)), "v1 whole");
        EXPECT_EQ(started("run" + std::to_string(i), "ended"), "v1 whole");
    }
    expectConsistentCache("v1");
}

TEST_F(SharedCache, TwoVersionsInterleavedEachRunStartsTheOneItDownloaded)
{
    auto first = start("first", url("v1", "&hold=both"));
    auto second = start("second", url("v2", "&hold=both"));
    ASSERT_TRUE(first->waitUntil([&] { return server_.heldRequests() == 2; }));
    server_.release("both");

    expectSucceeded(first->wait());
    expectSucceeded(second->wait());
    EXPECT_EQ(started("first"), "v1 whole");
    EXPECT_EQ(started("second"), "v2 whole");
    expectConsistentCache();
}

TEST_F(SharedCache, ARunOfTheCachedVersionDuringAnotherUnpackWaitsAndStartsAWholeAgent)
{
    expectSucceeded(runToEnd("prime", url("v1")));
    const std::string hold = scratch_ / "unzip-hold";
    auto updating = start("updating", url("v2"), {{"UNZIP_HOLD", hold}});
    ASSERT_TRUE(updating->waitUntil([&] { return pathExists(hold + ".waiting"); }));

    auto cached = start("cached", url("v1"));
    ASSERT_TRUE(cached->waitForOutput(messages::kWaitingForTheCache));
    EXPECT_EQ(started("cached"), "") << "nothing may start while the cache is being changed";
    writeFile(hold, "");

    expectSucceeded(updating->wait());
    expectSucceeded(cached->wait());
    EXPECT_EQ(started("updating"), "v2 whole");
    // By the time it could look, the cache held v2: it fetched its own v1 again.
    EXPECT_EQ(started("cached"), "v1 whole");
    expectConsistentCache();
}

TEST_F(SharedCache, ANewVersionWaitsUntilTheAgentRunningFromTheCacheHasEnded)
{
    expectSucceeded(runToEnd("prime", url("v1")));
    const std::string hold = scratch_ / "agent-hold";
    auto running = start("running", url("v1"), {{"AGENT_HOLD", hold}});
    ASSERT_TRUE(running->waitUntil([&] { return !started("running").empty(); }));

    auto newer = start("newer", url("v2"));
    ASSERT_TRUE(newer->waitForOutput(messages::kWaitingForTheCache));
    expectConsistentCache("v1");
    // A run that waits can still be cancelled, and lets go of everything.
    auto cancelled = start("cancelled", url("v3"));
    ASSERT_TRUE(cancelled->waitForOutput(messages::kWaitingForTheCache));
    ASSERT_TRUE(cancelled->sendSignal(SIGTERM));
    const ProcessResult cancelledResult = cancelled->wait();
    EXPECT_TRUE(cancelledResult.signaled && cancelledResult.signal == SIGTERM) << cancelledResult.describe();
    EXPECT_EQ(splitLines(cancelledResult.err).back(), messages::kInstallationFailed);
    writeFile(hold, "");

    expectSucceeded(running->wait());
    EXPECT_EQ(started("running", "ended"), "v1 whole") << "the running agent lost files";
    expectSucceeded(newer->wait());
    EXPECT_EQ(started("newer"), "v2 whole");
    expectConsistentCache("v2");
}

TEST_F(SharedCache, AKillAtAnyPointLeavesAWholeStampedAgentOrNoStamp)
{
    expectSucceeded(runToEnd("prime", url("v1")));
    const auto killGroup = [](BackgroundProcess& run) {
        ASSERT_EQ(kill(-run.pid(), SIGKILL), 0);
        EXPECT_TRUE(run.wait().signaled);
    };

    // During the transfer.
    auto transferring = start("transferring", url("v2", "&stall=60&stall_after=1000"));
    ASSERT_TRUE(transferring->waitUntil([&] {
        const auto requests = server_.requests();
        return requests.size() == 2 && requests[1].bytesSent > 0;
    }));
    killGroup(*transferring);
    expectConsistentCache("v1");

    // After unzip has written everything, before the new agent is in place.
    const std::string hold = scratch_ / "unzip-hold";
    auto unpacking = start("unpacking", url("v2"), {{"UNZIP_HOLD", hold}});
    ASSERT_TRUE(unpacking->waitUntil([&] { return pathExists(hold + ".waiting"); }));
    killGroup(*unpacking);
    EXPECT_EQ(started("transferring") + started("unpacking"), "");

    // A server that still answers with the old ETag gets the old agent, whole.
    expectSucceeded(runToEnd("old", url("v1")));
    EXPECT_EQ(started("old"), "v1 whole");
    // The next run that changes the cache clears what the killed ones left.
    expectSucceeded(runToEnd("new", url("v2")));
    EXPECT_EQ(started("new"), "v2 whole");
    expectConsistentCache("v2");
}

TEST_F(SharedCache, TerminationSignalsDuringTheUnpackEndTheRunAsACancelDoes)
{
    expectSucceeded(runToEnd("prime", url("v1")));
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string hold = scratch_ / ("hold-" + std::to_string(signal));
        const std::string run = "signalled-" + std::to_string(signal);
        auto unpacking = start(run, url("v2"), {{"UNZIP_HOLD", hold}});
        ASSERT_TRUE(unpacking->waitUntil([&] { return pathExists(hold + ".waiting"); }));
        ASSERT_TRUE(unpacking->sendSignal(signal));
        const ProcessResult result = unpacking->wait();
        EXPECT_TRUE(result.signaled && result.signal == signal) << result.describe();
        EXPECT_EQ(splitLines(result.err).back(), messages::kInstallationFailed);
        EXPECT_EQ(result.err.find(messages::kUnzipAgentFailed), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find(messages::kUnzipInstallerFailed), std::string::npos) << result.err;
        EXPECT_EQ(started(run), "");
        expectConsistentCache("v1");
        EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
    }
}

// Once unzip has ended the run still has work to do before the agent
// starts (the new agent written out to the disk, swapped in, stamped): a
// termination signal then ends the run as one during the unpack does. What
// was stored stays, complete and stamped, for the next run.
TEST_F(SharedCache, ATerminationSignalAfterTheUnpackStillEndsTheRun)
{
    expectSucceeded(runToEnd("prime", url("v1")));
    const std::string hook = scratch_ / "unzip-hook";
    auto storing = start("storing", url("v2"), {{"UNZIP_HOOK", hook}});
    ASSERT_TRUE(storing->waitUntil([&] { return pathExists(hook); }));
    const std::vector<std::string> told = splitLines(readFile(hook));
    ASSERT_EQ(told.size(), 2u);
    const pid_t unzip = static_cast<pid_t>(std::stol(told[0]));
    // unzip is gone (reaped by the launcher), and the launcher waits at the pipe.
    ASSERT_TRUE(storing->waitUntil([&] { return kill(unzip, 0) != 0 && errno == ESRCH; }));
    ASSERT_TRUE(storing->sendSignal(SIGTERM));
    ASSERT_TRUE(storing->waitUntil([&] {
        const int pipe = open(told[1].c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (pipe < 0)
            return false; // nobody reads it yet
        close(pipe);
        return true;
    }));

    const ProcessResult result = storing->wait();
    EXPECT_TRUE(result.signaled && result.signal == SIGTERM) << result.describe() << "\n" << result.err;
    EXPECT_EQ(splitLines(result.err).back(), messages::kInstallationFailed);
    EXPECT_EQ(started("storing"), "") << "the agent started after the signal";
    expectConsistentCache("v2");
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
    expectSucceeded(runToEnd("next", url("v2")));
    EXPECT_EQ(started("next"), "v2 whole");
}

// A cache on a read-only file system (a kiosk, a live medium, a read-only
// network home) still runs the agent it holds when the server agrees; a new
// version, which it cannot take, is a failure as soon as it is announced.
TEST_F(SharedCache, AReadOnlyCacheRunsTheAgentItHoldsAndRefusesAnother)
{
    if (const std::string why = PrivateMounts::unavailable(); !why.empty())
        GTEST_SKIP() << "a read-only home " << why;
    expectSucceeded(runToEnd("prime", url("v1")));
    PrivateMounts mounts;
    mounts.readOnly(sandbox_.home);
    const auto runReadOnly = [&](const std::string& run, const std::string& version, const std::string& more = "") {
        ProcessOptions options = launchOptions(run, url(version, more));
        options.argv = mounts.around(options.argv);
        return runProcess(options);
    };

    const ProcessResult same = runReadOnly("same", "v1");
    expectSucceeded(same);
    EXPECT_EQ(same.err, "");
    EXPECT_EQ(started("same"), "v1 whole");

    // Its body would come only after a long stall: nobody waits for it.
    const ProcessResult newer = runReadOnly("newer", "v2", "&stall=600");
    EXPECT_TRUE(newer.exited && newer.exitCode == 255) << newer.describe() << "\n" << newer.err;
    EXPECT_NE(newer.err.find("cannot open the lock file " + cacheDir_ + ".lock: Read-only file system"),
              std::string::npos)
        << newer.err;
    EXPECT_EQ(splitLines(newer.err).back(), messages::kInstallationFailed);
    EXPECT_EQ(started("newer"), "");
    expectConsistentCache("v1");
}

// An ordinary user's runs remove what root's would anyway: replaced agents
// and leftovers of killed runs that hold a read-only directory.
TEST_F(SharedCache, AgentsWithAReadOnlyDirectoryAreReplacedWithoutLeftoversForAnOrdinaryUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the launcher as another user (setpriv)";
    constexpr const char* nobody = "65534";
    for (const std::string version : {"r1", "r2", "r3"}) {
        SCOPED_TRACE(version);
        if (version == "r2") {
            // What a run killed while it unpacked leaves: a staging directory.
            const std::string leftover = cacheDir_ + ".installagent-Kil1ed";
            makeDirectories(leftover + "/locked");
            writeFile(leftover + "/locked/key", "r0");
            ASSERT_EQ(chmod((leftover + "/locked").c_str(), 0555), 0);
        }
        ProcessOptions options = launchOptions(version, url(version, "", true));
        ASSERT_EQ(run({"chown", "-R", std::string(nobody) + ":" + nobody, scratch_.path()}).exitCode, 0);
        options.argv.insert(options.argv.begin(), {"setpriv", std::string("--reuid=") + nobody,
                                                   std::string("--regid=") + nobody, "--clear-groups", "--"});
        expectSucceeded(runProcess(options));
        EXPECT_EQ(started(version), version + " whole");
    }
    expectConsistentCache("r3");
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
}

} // namespace
