// The run's private scratch directory under the user's temporary directory,
// and how it goes away.

#include "launcher/temp_dir.h"
#include "platform/paths.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

class TempDirs : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string tmp = scratch.makeDir("tmp dir");
    ScopedEnv tmpdir{"TMPDIR", tmp};
};

} // namespace

TEST_F(TempDirs, IsAPrivateDirectChildOfTheTemporaryDirectory)
{
    TempDir dir("tmp_install_dir");
    const std::string path = dir.getDir();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(parentOf(path), tmp);
    const std::string name = baseName(path);
    EXPECT_EQ(name.size(), 8u) << name;
    EXPECT_EQ(name.substr(0, 2), "zx") << name;
    EXPECT_NE(name.substr(2), "XXXXXX");
    EXPECT_TRUE(isDirectory(path));
    EXPECT_EQ(permissionBits(path), 0700u);
    EXPECT_EQ(dir.getDir(), path);
}

TEST_F(TempDirs, NameArgumentChangesNothing)
{
    for (const char* name : {"", "tmp_install_dir", "../../elsewhere", "with/slash"}) {
        TempDir dir(name);
        EXPECT_EQ(parentOf(dir.getDir()), tmp) << name;
        EXPECT_EQ(baseName(dir.getDir()).substr(0, 2), "zx") << name;
    }
}

TEST_F(TempDirs, TwoAreDistinctAndEachRemovesOnlyItsOwn)
{
    writeFile(tmp + "/bystander", "stays");
    auto first = std::make_unique<TempDir>("a");
    TempDir second("b");
    const std::string firstPath = first->getDir();
    ASSERT_FALSE(firstPath.empty());
    ASSERT_NE(firstPath, second.getDir());

    first.reset();
    EXPECT_FALSE(pathExists(firstPath));
    EXPECT_TRUE(isDirectory(second.getDir()));
    EXPECT_EQ(readFile(tmp + "/bystander"), "stays");
}

TEST_F(TempDirs, RemovalTakesEverythingInsideButNothingLinkedFromIt)
{
    const std::string outside = scratch.makeDir("outside");
    writeFile(outside + "/precious", "keep me");
    writeFile(scratch / "outside-file", "keep me too");

    std::string path;
    {
        TempDir dir("tmp_install_dir");
        path = dir.getDir();
        makeDirectories(path + "/a/b/c");
        writeFile(path + "/a/b/c/deep", "x");
        writeFile(path + "/a/exec", "#!/bin/sh\n", 0755);
        writeFile(path + "/a/readonly", "r", 0400);
        ASSERT_EQ(symlink(outside.c_str(), (path + "/link-to-dir").c_str()), 0);
        ASSERT_EQ(symlink((scratch / "outside-file").c_str(), (path + "/a/link-to-file").c_str()), 0);
        ASSERT_EQ(symlink("nowhere", (path + "/dangling").c_str()), 0);
    }
    EXPECT_FALSE(pathExists(path));
    EXPECT_EQ(listDirectory(outside), std::vector<std::string>{"precious"});
    EXPECT_EQ(readFile(outside + "/precious"), "keep me");
    EXPECT_EQ(readFile(scratch / "outside-file"), "keep me too");
    EXPECT_EQ(listDirectory(tmp), std::vector<std::string>{});
}

TEST_F(TempDirs, AlreadyRemovedIsFine)
{
    std::string path;
    {
        TempDir dir("x");
        path = dir.getDir();
        removeTree(path);
    }
    EXPECT_FALSE(pathExists(path));
}

TEST_F(TempDirs, TemporaryDirectoryThatDoesNotExistGivesOneInTmp)
{
    ScopedEnv missing("TMPDIR", scratch / "no such dir");
    TempDir dir("tmp_install_dir");
    EXPECT_EQ(parentOf(dir.getDir()), "/tmp");
    EXPECT_TRUE(isDirectory(dir.getDir()));
    EXPECT_FALSE(pathExists(scratch / "no such dir"));
}

TEST_F(TempDirs, TrailingSeparatorOfTheTemporaryDirectoryIsNotDoubled)
{
    ScopedEnv slash("TMPDIR", tmp + "/");
    TempDir dir("x");
    EXPECT_EQ(parentOf(dir.getDir()), tmp);
    EXPECT_EQ(dir.getDir().find("//"), std::string::npos) << dir.getDir();
}

TEST_F(TempDirs, EmptyTemporaryDirectoryMeansTmp)
{
    ScopedEnv empty("TMPDIR", "");
    TempDir dir("x");
    EXPECT_EQ(parentOf(dir.getDir()), "/tmp");
    EXPECT_EQ(userTemporaryDirectory(), "/tmp");
    ScopedEnv unset("TMPDIR", std::nullopt);
    EXPECT_EQ(userTemporaryDirectory(), "/tmp");
}
