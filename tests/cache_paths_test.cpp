// The per-user cache of the release: where HOME (or the password database)
// puts it, when a cached agent counts, and the agent's entry point.

#include "provisioning/cache_paths.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

class CachePaths : public ::testing::Test {
protected:
    ScratchDir scratch;
};

} // namespace

TEST_F(CachePaths, CacheDirFollowsHome)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Users/user1", "/Users/user1/" + kCacheSubpath},
        {"/Users/user1/", "/Users/user1/" + kCacheSubpath},
        {"/", "/" + kCacheSubpath},
        {".", "." + kCacheSubpath}, // a one-character home gets no separator
        {"", "/tmp/" + kCacheSubpath},
        {"/home/with blank", "/home/with blank/" + kCacheSubpath},
    };
    for (const auto& [home, expected] : cases) {
        ScopedEnv env("HOME", home);
        EXPECT_EQ(getInstallAgentCacheDir(), expected) << "HOME=\"" << home << "\"";
    }
}

TEST_F(CachePaths, CacheDirWithoutHomeUsesThePasswordDatabase)
{
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    std::string home = entry->pw_dir != nullptr ? entry->pw_dir : "";
    if (home.empty())
        home = "/tmp";
    if (home.size() > 1 && home.back() != '/')
        home += '/';

    ScopedEnv env("HOME", std::nullopt);
    EXPECT_EQ(getInstallAgentCacheDir(), home + kCacheSubpath);
}

TEST_F(CachePaths, CachedAgentCountsOnlyWhenItsInstallIsThere)
{
    ScopedEnv env("HOME", scratch.path());
    const std::string agentDir = scratch / (kCacheSubpath + "installagent");
    const std::string expected = agentDir + "/";

    EXPECT_EQ(installAgentDirOnDisk(), "") << "no cache at all";

    makeDirectories(agentDir);
    EXPECT_EQ(installAgentDirOnDisk(), "") << "empty agent directory";

    writeFile(agentDir + "/other", "x");
    EXPECT_EQ(installAgentDirOnDisk(), "") << "agent directory without install";

    ASSERT_EQ(symlink("nowhere", (agentDir + "/install").c_str()), 0);
    EXPECT_EQ(installAgentDirOnDisk(), "") << "install is a dangling link";
    removeTree(agentDir + "/install");

    writeFile(scratch / "real-install", "echo hi\n");
    ASSERT_EQ(symlink((scratch / "real-install").c_str(), (agentDir + "/install").c_str()), 0);
    EXPECT_EQ(installAgentDirOnDisk(), expected) << "install is a link to a file";
    removeTree(agentDir + "/install");

    makeDirectories(agentDir + "/install");
    EXPECT_EQ(installAgentDirOnDisk(), expected) << "install is a directory";
    removeTree(agentDir + "/install");

    writeFile(agentDir + "/install", "echo hi\n");
    EXPECT_EQ(installAgentDirOnDisk(), expected);
}

TEST_F(CachePaths, CachedAgentIsLookedUpAfreshOnEveryCall)
{
    ScopedEnv env("HOME", scratch.path());
    EXPECT_EQ(installAgentDirOnDisk(), "");
    makeDirectories(scratch / (kCacheSubpath + "installagent"));
    writeFile(scratch / (kCacheSubpath + "installagent/install"), "");
    EXPECT_NE(installAgentDirOnDisk(), "");

    ScopedEnv otherHome("HOME", scratch / "elsewhere");
    EXPECT_EQ(installAgentDirOnDisk(), "");
}

TEST(InstallAgentExecutable, JoinsWithOneSeparator)
{
    EXPECT_EQ(getInstallAgentExecutable("/a/b"), "/a/b/install");
    EXPECT_EQ(getInstallAgentExecutable("/a/b/"), "/a/b/install");
    EXPECT_EQ(getInstallAgentExecutable("/"), "/install");
    EXPECT_EQ(getInstallAgentExecutable(""), "install");
    EXPECT_EQ(getInstallAgentExecutable("a"), "a/install");
}
