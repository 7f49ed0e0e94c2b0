// Where the launcher stands (bundle, resources, the directory that holds it),
// how it reads its own executable's path, and its per-run scratch directory.

#include "launcher/locations.h"
#include "launcher/temp_dir.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class Locations : public ::testing::Test {
protected:
    void TearDown() override { clearMainBundleOverride(); }
};

std::string runningExecutable()
{
    char* resolved = realpath("/proc/self/exe", nullptr);
    std::string path = resolved != nullptr ? resolved : "";
    free(resolved);
    return path;
}

void expectBundle(const std::optional<MainBundle>& bundle, const std::string& path, const std::string& resources)
{
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundlePath, path);
    EXPECT_EQ(bundle->resourcePath, resources);
}

} // namespace

// ---------------------------------------------------------------- bundle rule

TEST(BundleForExecutable, AppLayoutUsesContentsResources)
{
    expectBundle(bundleForExecutable("/Applications/Setup.app/Contents/MacOS/launcher"), "/Applications/Setup.app",
                 "/Applications/Setup.app/Contents/Resources");
    expectBundle(bundleForExecutable("/tmp/a b/$x/Setup It.app/Contents/MacOS/launcher"), "/tmp/a b/$x/Setup It.app",
                 "/tmp/a b/$x/Setup It.app/Contents/Resources");
    // The bundle directory need not end in ".app".
    expectBundle(bundleForExecutable("/opt/Setup/Contents/MacOS/run"), "/opt/Setup", "/opt/Setup/Contents/Resources");
}

TEST(BundleForExecutable, AnythingElseIsFlat)
{
    expectBundle(bundleForExecutable("/opt/installer/launcher"), "/opt/installer", "/opt/installer");
    expectBundle(bundleForExecutable("/launcher"), "/", "/");
    // Only whole components count.
    expectBundle(bundleForExecutable("/opt/MyContents/MacOS/launcher"), "/opt/MyContents/MacOS",
                 "/opt/MyContents/MacOS");
    expectBundle(bundleForExecutable("/opt/X.app/Contents/MacOSX/launcher"), "/opt/X.app/Contents/MacOSX",
                 "/opt/X.app/Contents/MacOSX");
    expectBundle(bundleForExecutable("/opt/X.app/Contents/MacOS/bin/launcher"), "/opt/X.app/Contents/MacOS/bin",
                 "/opt/X.app/Contents/MacOS/bin");
    expectBundle(bundleForExecutable("/opt/X.app/contents/macos/launcher"), "/opt/X.app/contents/macos",
                 "/opt/X.app/contents/macos");
    EXPECT_FALSE(bundleForExecutable("").has_value());
}

TEST_F(Locations, MainBundleIsThatOfTheRunningExecutable)
{
    const std::string self = runningExecutable();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(readRunningExecutableLink(), self);
    // The test program lives in the build directory, a flat layout.
    expectBundle(mainBundle(), parentOf(self), parentOf(self));
    EXPECT_EQ(getPathToExecutable(), parentOf(self));
}

// ---------------------------------------------------------------- locations

TEST_F(Locations, DirectoryOfExecutableCutsBeforeTheLastSeparator)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Applications/Setup.app", "/Applications"},
        {"/a/b/", "/a/b"},
        {"/Setup.app", ""},
        {"Setup.app", "Setup.app"},
        {"dir\\name", "dir"},
        {"a/b\\c", "a/b"},
        {"/Volumes/Disk 1/Setup $1.app", "/Volumes/Disk 1"},
    };
    for (const auto& [bundlePath, expected] : cases) {
        overrideMainBundle(MainBundle{bundlePath, "/res"});
        EXPECT_EQ(getPathToExecutable(), bundlePath);
        EXPECT_EQ(getDirectoryOfExecutable(), expected) << "bundle path " << bundlePath;
    }
    overrideMainBundle(MainBundle{"", "/res"});
    EXPECT_EQ(getDirectoryOfExecutable(), "");
}

TEST_F(Locations, BundleLocationIsTheResourceDirectory)
{
    overrideMainBundle(MainBundle{"/Applications/Setup.app", "/Applications/Setup.app/Contents/Resources"});
    EXPECT_EQ(getBundleLocation(), "/Applications/Setup.app/Contents/Resources");
    EXPECT_EQ(getDefaultInstallAgentLocation(), "/Applications/Setup.app/Contents/Resources/InstallAgent.zip");

    overrideMainBundle(MainBundle{"/Applications/Setup.app", "/res/"});
    EXPECT_EQ(getDefaultInstallAgentLocation(), "/res/InstallAgent.zip") << "joined with exactly one separator";

    overrideMainBundle(MainBundle{"/Applications/Setup.app", ""});
    EXPECT_EQ(getBundleLocation(), "/Applications/Setup.app") << "no resource directory: the bundle itself";
    EXPECT_EQ(getDefaultInstallAgentLocation(), "");
}

TEST_F(Locations, WithoutAMainBundleTheExecutableStandsIn)
{
    overrideMainBundle(std::nullopt);
    const std::string self = runningExecutable();
    EXPECT_EQ(getPathToExecutable(), self);
    EXPECT_EQ(getDirectoryOfExecutable(), parentOf(self));
    EXPECT_EQ(getBundleLocation(), parentOf(self));
    EXPECT_EQ(getDefaultInstallAgentLocation(), "");
}

TEST_F(Locations, ClearingTheOverrideBringsBackTheRealBundle)
{
    overrideMainBundle(MainBundle{"/x/Y.app", "/x/Y.app/Contents/Resources"});
    clearMainBundleOverride();
    EXPECT_EQ(getBundleLocation(), parentOf(runningExecutable()));
}

// ---------------------------------------------------------------- link targets

TEST(ReadLinkTarget, LongTargetsAreReadWhole)
{
    ScratchDir scratch;
    // Around each size the reading buffer could have, up to the longest
    // target Linux accepts (PATH_MAX - 1).
    for (size_t length : {1ul, 1022ul, 1023ul, 1024ul, 1025ul, 2047ul, 2048ul, 2049ul, 4095ul}) {
        std::string target = "/";
        while (target.size() < length)
            target += std::string(std::min<size_t>(200, length - target.size()), 'x') + "/";
        target.resize(length);
        const std::string link = scratch / ("link" + std::to_string(length));
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << length;
        EXPECT_EQ(readLinkTarget(link), target) << "target of " << length << " bytes";
    }
}

TEST(ReadLinkTarget, WhatIsNotALinkGivesEmpty)
{
    ScratchDir scratch;
    writeFile(scratch / "file", "x");
    EXPECT_EQ(readLinkTarget(scratch / "file"), "");
    EXPECT_EQ(readLinkTarget(scratch / "missing"), "");
    EXPECT_EQ(readLinkTarget(""), "");
}

// ---------------------------------------------------------------- scratch directory

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
