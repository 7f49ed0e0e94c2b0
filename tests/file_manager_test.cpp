// Removing what the launcher made (a scratch directory, a staging directory,
// a replaced agent) as the ordinary user who made it: directories inside
// that are read-only, or not even readable, go too.

#include "platform/file_manager.h"
#include "support/scratch.h"
#include "support/xvfb.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

TEST(RemoveItemAtPath, TakesReadOnlyAndUnreadableDirectoriesOfTheUsersOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become an ordinary user in a child";
    ScratchDir scratch;
    ASSERT_EQ(chown(scratch.path().c_str(), 65534, 65534), 0);
    inChild([&] {
        ASSERT_EQ(setgid(65534), 0);
        ASSERT_EQ(setuid(65534), 0);
        const std::string tree = scratch.path() + "/tree";
        makeDirectories(tree + "/locked/unreadable/deeper");
        writeFile(tree + "/locked/file", "x", 0444);
        writeFile(tree + "/locked/unreadable/deeper/file", "y");
        ASSERT_EQ(chmod((tree + "/locked/unreadable/deeper").c_str(), 0500), 0);
        ASSERT_EQ(chmod((tree + "/locked/unreadable").c_str(), 0000), 0);
        ASSERT_EQ(chmod((tree + "/locked").c_str(), 0555), 0);
        ASSERT_EQ(chmod(tree.c_str(), 0555), 0);

        EXPECT_TRUE(removeItemAtPath(tree));
        EXPECT_FALSE(pathExists(tree));
        EXPECT_EQ(listDirectory(scratch.path()), std::vector<std::string>{});
    });
}

} // namespace
