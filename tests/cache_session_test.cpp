// One run's session on the shared cache, with other runs played by locks on
// the same lock file (another open file description conflicts like another
// process) and the real unzip.

#include "platform/poll_event_loop.h"
#include "provisioning/agent_vouching.h"
#include "provisioning/cache_session.h"
#include "support/loop_until.h"
#include "support/process.h"
#include "provisioning/validation_stamp.h"
#include "support/bundle_layout.h"
#include "support/launcher_messages.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <deque>
#include <functional>
#include <unistd.h>

using namespace testsupport;

namespace {

using Outcome = CacheSession::StoreOutcome;
using Mode = FileLock::Mode;

class CacheSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string whyNot;
        session_ = CacheSession::open(cacheDir_, whyNot);
        ASSERT_NE(session_, nullptr) << whyNot;
        session_->setWaitNotice([this](bool waiting) {
            notices_.push_back(waiting);
            // Each wait ends when the next run in the way lets go.
            if (waiting && !nextToLetGo_.empty()) {
                loop_->callLater(0.0, nextToLetGo_.front());
                nextToLetGo_.pop_front();
            }
        });
    }

    // Another run, as the lock file shows it: the agent lock in byte 0, the update lock in byte 1.
    std::unique_ptr<FileLock> otherRun(unsigned slot)
    {
        std::string whyNot;
        auto lock = FileLock::open(cacheDir_ + ".lock", whyNot, slot);
        EXPECT_NE(lock, nullptr) << whyNot;
        return lock;
    }
    bool anotherRunCouldChangeTheCache() { return otherRun(0)->tryLock(Mode::Exclusive); }

    void putCachedAgent(const std::string& script, const std::string& stamp)
    {
        writeFile(cacheDir_ + "installagent/install", script);
        writeValidationString(cacheDir_, stamp);
    }

    // Stores the archive and runs the loop until the session is done; a guard ends a run that never is.
    Outcome store(const std::string& archive, const std::optional<std::string>& etag, std::string* whyNot = nullptr,
                  const std::optional<AgentVouching>& vouching = std::nullopt)
    {
        std::optional<Outcome> outcome;
        session_->store(*loop_, archive, etag, vouching, [&](Outcome done, const std::string& why) {
            outcome = done;
            if (whyNot != nullptr)
                *whyNot = why;
            loop_->stop(0);
        });
        if (!outcome) {
            loop_->callLater(30.0, [this] { loop_->stop(-1); });
            EXPECT_EQ(loop_->run(), 0) << "the store never ended";
        }
        return outcome.value_or(Outcome::Unusable);
    }

    ScratchDir scratch_;
    std::string cacheDir_ = scratch_ / "cache/";
    std::unique_ptr<EventLoop> loop_ = createPollEventLoop();
    std::unique_ptr<CacheSession> session_;
    std::vector<bool> notices_;
    std::deque<std::function<void()>> nextToLetGo_;
};

TEST_F(CacheSessionTest, TheReadingHoldIsSharedAndOutlivesLetGoOnlyForAHandOff)
{
    putCachedAgent("echo v1\n", "\"v1\"");
    bool held = false;
    session_->holdForReading(*loop_, [&](bool ok, const std::string&) { held = ok; });
    ASSERT_TRUE(held) << "nobody in the way: held at once";
    EXPECT_EQ(session_->stamp(), "\"v1\"");
    EXPECT_TRUE(session_->holdsAgentStamped("\"v1\""));
    EXPECT_FALSE(session_->holdsAgentStamped("\"v2\""));
    EXPECT_FALSE(session_->holdsAgentStamped(std::nullopt));
    EXPECT_TRUE(otherRun(0)->tryLock(Mode::Shared)) << "another run reads beside it";
    EXPECT_FALSE(anotherRunCouldChangeTheCache());
    // A stamp beside an agent that is not complete names nothing.
    removeTree(cacheDir_ + "installagent/install");
    EXPECT_EQ(session_->stamp(), std::nullopt);
    EXPECT_FALSE(session_->holdsAgentStamped("\"v1\""));

    session_->letGo();
    EXPECT_TRUE(anotherRunCouldChangeTheCache());

    session_->holdForReading(*loop_, [](bool, const std::string&) {});
    session_->keepForHandOff();
    session_->letGo();
    EXPECT_FALSE(anotherRunCouldChangeTheCache()) << "nobody changes the agent handed off to";
    session_.reset();
    EXPECT_TRUE(anotherRunCouldChangeTheCache());
    EXPECT_TRUE(notices_.empty());
}

TEST_F(CacheSessionTest, AReadingHoldWaitsWhileAnotherRunChangesTheCacheAndLetGoEndsTheWait)
{
    putCachedAgent("echo v1\n", "\"v1\"");
    auto changing = otherRun(0);
    ASSERT_TRUE(changing->tryLock(Mode::Exclusive));
    nextToLetGo_.push_back([&] { changing->unlock(); });
    session_->holdForReading(*loop_, [&](bool held, const std::string& whyNot) {
        EXPECT_TRUE(held) << whyNot;
        loop_->stop(1);
    });
    EXPECT_EQ(notices_, std::vector<bool>{true});
    EXPECT_EQ(loop_->run(), 1);
    EXPECT_EQ(notices_, (std::vector<bool>{true, false}));
    EXPECT_FALSE(anotherRunCouldChangeTheCache());

    session_->letGo();
    ASSERT_TRUE(changing->tryLock(Mode::Exclusive));
    session_->holdForReading(*loop_, [](bool, const std::string&) { ADD_FAILURE() << "an ended wait answered"; });
    session_->letGo();
    changing->unlock();
    loop_->callLater(0.0, [this] { loop_->stop(0); });
    loop_->run();
    EXPECT_TRUE(anotherRunCouldChangeTheCache());
}

TEST_F(CacheSessionTest, AStoreWaitsForTheRunThatUpdatesThenForTheAgentsThatRunThenSwapsAndStamps)
{
    putCachedAgent("echo v1\n", "\"v1\"");
    makeDirectories(cacheDir_ + ".installagent-Xq3z9a"); // left by a killed run
    writeFile(cacheDir_ + ".validatestring-k2Lx0p", "\"v0");
    const std::string archive = scratch_ / "v2.zip";
    makeInstallAgentZip(archive, "echo v2\n", {{"data/1", "v2 1"}});
    auto updating = otherRun(1);
    auto running = otherRun(0);
    ASSERT_TRUE(updating->tryLock(Mode::Exclusive));
    ASSERT_TRUE(running->tryLock(Mode::Shared));
    nextToLetGo_ = {[&] { updating->unlock(); }, [&] { running->unlock(); }};

    EXPECT_EQ(store(archive, "\"v2\""), Outcome::Stored);
    EXPECT_EQ(notices_, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo v2\n");
    EXPECT_EQ(readFile(cacheDir_ + "installagent/data/1"), "v2 1");
    EXPECT_EQ(readValidationString(cacheDir_), "\"v2\"");
    EXPECT_EQ(listDirectory(cacheDir_), (std::vector<std::string>{".lock", ".validatestring", "installagent"}));
    EXPECT_TRUE(pathExists(archive)) << "the archive is the caller's";
    EXPECT_TRUE(otherRun(0)->tryLock(Mode::Shared));
    EXPECT_FALSE(anotherRunCouldChangeTheCache()) << "held shared for the new agent";
    EXPECT_TRUE(otherRun(1)->tryLock(Mode::Exclusive)) << "the update lock is free again";
}

TEST_F(CacheSessionTest, AnAgentAnotherRunStoredMeanwhileIsTakenAsItIs)
{
    putCachedAgent("echo stored by another run\n", "\"v2\"");
    const std::string archive = scratch_ / "v2.zip";
    makeInstallAgentZip(archive, "echo v2\n");
    EXPECT_EQ(store(archive, "\"v2\""), Outcome::Stored);
    EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo stored by another run\n");
    EXPECT_FALSE(anotherRunCouldChangeTheCache());
}

TEST_F(CacheSessionTest, AFailedStoreKeepsTheCachedAgentAndItsStampAndLetsGo)
{
    putCachedAgent("echo v1\n", "\"v1\"");
    const std::string notAZip = scratch_ / "broken.zip";
    writeFile(notAZip, "not a zip");
    const std::string nested = scratch_ / "nested.zip";
    makeZip(nested, {{"agent/install", "echo nested\n"}});
    for (const auto& [archive, reason] : {std::pair{notAZip, messages::kUnzipAgentFailed},
                                          std::pair{nested, std::string("holds no file \"install\" at its top level")}}) {
        SCOPED_TRACE(archive);
        std::string whyNot;
        EXPECT_EQ(store(archive, "\"v2\"", &whyNot), Outcome::Failed);
        EXPECT_NE(whyNot.find(reason), std::string::npos) << whyNot;
        EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo v1\n");
        EXPECT_EQ(readValidationString(cacheDir_), "\"v1\"");
        EXPECT_EQ(listDirectory(cacheDir_), (std::vector<std::string>{".lock", ".validatestring", "installagent"}));
        EXPECT_TRUE(anotherRunCouldChangeTheCache());
        EXPECT_TRUE(otherRun(1)->tryLock(Mode::Exclusive));
    }
}

TEST_F(CacheSessionTest, WhoVouchedGoesWithTheAgentAndTheNewestSigningTimeOutlivesIt)
{
    const std::string v2 = scratch_ / "v2.zip";
    makeInstallAgentZip(v2, "echo v2\n");
    const AgentVouching vendor{"1A2B3C", "timestamp:1700000000\tfile:v2.zip\thashed"};
    ASSERT_EQ(store(v2, "\"v2\"", nullptr, vendor), Outcome::Stored);
    EXPECT_EQ(session_->vouching(), vendor);
    EXPECT_EQ(session_->newestSigningTimes(), (NewestSigningTimes{{"1A2B3C", 1700000000}}));

    // The same agent, stamped alike, but vouched for by another key: not taken as it is.
    const AgentVouching other{"FFFF", "agent v2"};
    ASSERT_EQ(store(v2, "\"v2\"", nullptr, other), Outcome::Stored);
    EXPECT_EQ(session_->vouching(), other);

    // An agent stored without a signature leaves no record; the signing time stays.
    const std::string v3 = scratch_ / "v3.zip";
    makeInstallAgentZip(v3, "echo v3\n");
    ASSERT_EQ(store(v3, "\"v3\""), Outcome::Stored);
    EXPECT_EQ(session_->vouching(), std::nullopt);
    EXPECT_EQ(listDirectory(cacheDir_),
              (std::vector<std::string>{".lock", ".newestsignatures", ".validatestring", "installagent"}));

    // Signed before the newest under its key: refused, the cache as it was.
    std::string whyNot;
    EXPECT_EQ(store(v2, "\"v2\"", &whyNot, AgentVouching{"1A2B3C", "timestamp:1600000000"}), Outcome::Refused);
    EXPECT_EQ(whyNot, "signed 2020-09-13 12:26:40 UTC, older than the cached agent signed 2023-11-14 22:13:20 UTC");
    EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo v3\n");
    EXPECT_EQ(readValidationString(cacheDir_), "\"v3\"");
    EXPECT_TRUE(anotherRunCouldChangeTheCache());

    // A record that is no file of ours names nobody.
    removeTree(cacheDir_ + ".vouchedby");
    ASSERT_EQ(symlink((scratch_ / "elsewhere").c_str(), (cacheDir_ + ".vouchedby").c_str()), 0);
    writeFile(scratch_ / "elsewhere", "key-id 1A2B3C\ntrusted-comment forged\n");
    EXPECT_EQ(readAgentVouching(cacheDir_), std::nullopt);
}

TEST_F(CacheSessionTest, LettingGoDuringTheUnpackingKillsUnzipAndLeavesTheCacheAsItWas)
{
    putCachedAgent("echo v1\n", "\"v1\"");
    const std::string archive = scratch_ / "v2.zip";
    makeInstallAgentZip(archive, "echo v2\n");
    // An unzip that takes its time: it tells its process id, then waits.
    const std::string shims = scratch_.makeDir("shims");
    const std::string pidFile = scratch_ / "unzip.pid";
    writeFile(shims + "/unzip", "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 60\n", 0755);
    const char* path = std::getenv("PATH");
    ScopedEnv slowUnzip("PATH", shims + ":" + (path != nullptr ? path : "/usr/bin:/bin"));

    session_->store(*loop_, archive, "\"v2\"", std::nullopt, [](Outcome, const std::string&) { ADD_FAILURE() << "a store let go of answered"; });
    // The loop goes on while unzip runs.
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return pathExists(pidFile) && readFile(pidFile).ends_with("\n"); }));
    const pid_t unzip = std::atoi(readFile(pidFile).c_str());
    ASSERT_GT(unzip, 0);
    EXPECT_EQ(kill(unzip, 0), 0) << "unzip runs";
    EXPECT_EQ(listDirectory(cacheDir_).size(), 4u) << "a staging directory beside the agent";

    session_->letGo();
    EXPECT_NE(kill(unzip, 0), 0) << "unzip was not ended";
    EXPECT_EQ(listDirectory(cacheDir_), (std::vector<std::string>{".lock", ".validatestring", "installagent"}));
    EXPECT_EQ(readFile(cacheDir_ + "installagent/install"), "echo v1\n");
    EXPECT_EQ(readValidationString(cacheDir_), "\"v1\"");
    EXPECT_TRUE(anotherRunCouldChangeTheCache());
    EXPECT_TRUE(otherRun(1)->tryLock(Mode::Exclusive));
    loop_->callLater(0.2, [this] { loop_->stop(0); });
    loop_->run();
}

} // namespace
