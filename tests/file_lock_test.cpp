// File locks as several runs share them. Locks of one open file description
// each conflict with each other even within one process, so two FileLock
// objects on one file stand for two runs.

#include "platform/file_lock.h"
#include "platform/poll_event_loop.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class FileLockTest : public ::testing::Test {
protected:
    std::unique_ptr<FileLock> open(unsigned slot = 0)
    {
        std::string whyNot;
        auto lock = FileLock::open(path_, whyNot, slot);
        EXPECT_NE(lock, nullptr) << whyNot;
        return lock;
    }

    // Runs the loop until stop(); a guard ends a run that would never stop.
    int runLoop()
    {
        loop_->callLater(30.0, [this] { loop_->stop(-1); });
        return loop_->run();
    }

    ScratchDir scratch_;
    std::string path_ = scratch_ / ".lock";
    std::unique_ptr<EventLoop> loop_ = createPollEventLoop();
};

using FileLockMode = FileLock::Mode;

TEST_F(FileLockTest, HoldersShareOrExcludeEachOtherSlotBySlot)
{
    auto first = open();
    auto second = open();
    EXPECT_EQ(permissionBits(path_), 0600u);

    ASSERT_TRUE(first->tryLock(FileLockMode::Shared));
    EXPECT_TRUE(second->tryLock(FileLockMode::Shared)) << "shared holders share";
    EXPECT_FALSE(second->tryLock(FileLockMode::Exclusive));
    EXPECT_EQ(second->mode(), FileLockMode::Shared) << "a refused lock keeps what was held";

    first->unlock();
    EXPECT_TRUE(second->tryLock(FileLockMode::Exclusive));
    EXPECT_FALSE(first->tryLock(FileLockMode::Shared));
    auto otherSlot = open(1);
    EXPECT_TRUE(otherSlot->tryLock(FileLockMode::Exclusive)) << "each slot is a lock of its own";

    EXPECT_TRUE(second->tryLock(FileLockMode::Shared)) << "exclusive to shared in one step";
    EXPECT_TRUE(first->tryLock(FileLockMode::Shared));
    first.reset();
    second.reset();
    EXPECT_TRUE(open()->tryLock(FileLockMode::Exclusive)) << "a lock goes with its object";
}

TEST_F(FileLockTest, ALinkAtThePathIsRefusedNotFollowed)
{
    const std::string target = scratch_ / "elsewhere";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    std::string whyNot;
    EXPECT_EQ(FileLock::open(path_, whyNot), nullptr);
    EXPECT_NE(whyNot.find(path_), std::string::npos) << whyNot;
    EXPECT_FALSE(pathExists(target));
}

TEST_F(FileLockTest, AWaitEndsOnTheLoopOnceTheHolderLetsGo)
{
    auto holder = open();
    auto waiter = open();
    ASSERT_TRUE(holder->tryLock(FileLockMode::Exclusive));

    bool answered = false;
    waiter->lockWhenFree(*loop_, FileLockMode::Shared, [&](bool held, const std::string& whyNot) {
        answered = true;
        EXPECT_TRUE(held) << whyNot;
        loop_->stop(1);
    });
    EXPECT_TRUE(waiter->waiting());
    loop_->callLater(0.0, [&] {
        EXPECT_FALSE(answered) << "granted while the holder still held it";
        holder->unlock();
    });
    EXPECT_EQ(runLoop(), 1);
    EXPECT_FALSE(waiter->waiting());
    EXPECT_EQ(waiter->mode(), FileLockMode::Shared);
    EXPECT_FALSE(holder->tryLock(FileLockMode::Exclusive)) << "the lock the waiter got is its own";
}

TEST_F(FileLockTest, ACancelledWaitLeavesNothingHeldEvenWhenTheLockWasJustGranted)
{
    auto holder = open();
    auto waiter = open();
    ASSERT_TRUE(holder->tryLock(FileLockMode::Exclusive));
    bool answered = false;
    const auto answer = [&](bool, const std::string&) { answered = true; };
    waiter->lockWhenFree(*loop_, FileLockMode::Exclusive, answer);
    waiter->cancelWait();
    EXPECT_FALSE(waiter->waiting());
    EXPECT_EQ(waiter->mode(), FileLockMode::None);

    // Now the holder lets go and the kernel grants the lock to the waiter,
    // whose answer the loop has not read yet, when the wait is cancelled.
    waiter->lockWhenFree(*loop_, FileLockMode::Exclusive, answer);
    holder->unlock();
    for (int tries = 0; tries < 10000 && holder->tryLock(FileLockMode::Exclusive); ++tries) {
        holder->unlock();
        usleep(1000);
    }
    ASSERT_EQ(holder->mode(), FileLockMode::None) << "the waiter never got the lock";
    waiter->cancelWait();
    EXPECT_EQ(waiter->mode(), FileLockMode::None);
    EXPECT_TRUE(holder->tryLock(FileLockMode::Exclusive)) << "the lock granted to the wait went with it";

    loop_->callLater(0.0, [this] { loop_->stop(0); });
    EXPECT_EQ(runLoop(), 0);
    EXPECT_FALSE(answered) << "a cancelled wait has no answer";
}

} // namespace
