// mkpath: every missing level of a path made with one mode, and where it
// stops.

#include "provisioning/mkpath.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// The modes asked for are the modes made: a known umask.
class Mkpath : public ::testing::Test {
protected:
    void SetUp() override { oldMask_ = umask(022); }
    void TearDown() override { umask(oldMask_); }

    ScratchDir scratch;

private:
    mode_t oldMask_ = 0;
};

} // namespace

TEST_F(Mkpath, MkpathCreatesEveryMissingLevelWithTheMode)
{
    makeDirectories(scratch / "a");
    ASSERT_EQ(chmod((scratch / "a").c_str(), 0751), 0);
    const std::string target = scratch / "a/b/c/d";
    errno = 0;
    ASSERT_EQ(mkpath(target, 0700), 0) << std::strerror(errno);
    for (const char* level : {"a/b", "a/b/c", "a/b/c/d"}) {
        ASSERT_TRUE(isDirectory(scratch / level)) << level;
        EXPECT_EQ(permissionBits(scratch / level), 0700u) << level;
    }
    EXPECT_EQ(permissionBits(scratch / "a"), 0751u) << "an existing directory keeps its mode";

    EXPECT_EQ(mkpath(target, 0700), 0) << "all there already";
}

TEST_F(Mkpath, MkpathTakesDoubledAndTrailingSlashesAsOne)
{
    EXPECT_EQ(mkpath("/", 0700), 0);
    EXPECT_EQ(mkpath(scratch.path() + "//x//y/", 0700), 0);
    EXPECT_TRUE(isDirectory(scratch / "x/y"));
    EXPECT_EQ(mkpath(scratch.path() + "/z/", 0700), 0);
    EXPECT_TRUE(isDirectory(scratch / "z"));
}

TEST_F(Mkpath, MkpathGoesThroughALinkToADirectory)
{
    makeDirectories(scratch / "real");
    ASSERT_EQ(symlink((scratch / "real").c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(mkpath(scratch / "link/sub", 0700), 0);
    EXPECT_TRUE(isDirectory(scratch / "real/sub"));
}

TEST_F(Mkpath, MkpathOfARelativePathStartsInTheCurrentDirectory)
{
    char* old = getcwd(nullptr, 0);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    const int result = mkpath("rel/one", 0700);
    const int back = chdir(old);
    free(old);
    ASSERT_EQ(back, 0);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(isDirectory(scratch / "rel/one"));
}

TEST_F(Mkpath, MkpathStopsAtAFileInTheWay)
{
    writeFile(scratch / "file", "not a directory");
    errno = 0;
    EXPECT_EQ(mkpath(scratch / "file/below/deeper", 0700), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_TRUE(isRegularFile(scratch / "file"));
    EXPECT_EQ(readFile(scratch / "file"), "not a directory");

    errno = 0;
    EXPECT_EQ(mkpath(scratch / "file", 0700), -1) << "the path itself is a file";
    EXPECT_EQ(errno, ENOTDIR);

    errno = 0;
    EXPECT_EQ(mkpath(scratch / "file/", 0700), -1);
    EXPECT_EQ(errno, ENOTDIR);

    ASSERT_EQ(symlink("nowhere", (scratch / "dangling").c_str()), 0);
    EXPECT_EQ(mkpath(scratch / "dangling/below", 0700), -1) << "a dangling link is in the way too";
    EXPECT_TRUE(isSymlink(scratch / "dangling"));
}

TEST_F(Mkpath, MkpathEndsAtTheFirstLevelThatCannotBeMade)
{
    // A name longer than any file system takes: mkdir fails even for root.
    const std::string tooLong(300, 'n');
    errno = 0;
    EXPECT_EQ(mkpath(scratch / ("made/" + tooLong + "/never"), 0700), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(isDirectory(scratch / "made")) << "levels above the failure stay";
    EXPECT_EQ(listDirectory(scratch / "made"), std::vector<std::string>{});
}

TEST_F(Mkpath, MkpathReportsAnUnwritableParent)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root may write anywhere";
    makeDirectories(scratch / "locked");
    ASSERT_EQ(chmod((scratch / "locked").c_str(), 0555), 0);
    errno = 0;
    EXPECT_EQ(mkpath(scratch / "locked/a/b", 0700), -1);
    EXPECT_EQ(errno, EACCES);
    chmod((scratch / "locked").c_str(), 0755);
    EXPECT_FALSE(pathExists(scratch / "locked/a"));
}
