// Where a run's install agent comes from: the archive shipped in the
// bundle, an alternative archive, or the download into the per-user cache
// (the download step replaced by a test double), with the real unzip.

#include "platform/main_bundle.h"
#include "provisioning/cache_paths.h"
#include "provisioning/cache_session.h"
#include "provisioning/source_install_agent.h"
#include "support/bundle_layout.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/recorded_reports.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

// What the code under test reported.
std::vector<std::string>& reports = recordedReports();

// The download step as sourceInstallAgent sees it: records how it was called
// and what the cache looked like at that moment, then does what the test asks.
struct DownloadDouble {
    int calls = 0;
    std::string archivePath;
    std::vector<std::pair<std::string, mode_t>> cacheLevels; // level, mode; mode 0 when missing
    std::function<void(const std::string& archivePath)> action;
    bool result = false;
};
DownloadDouble download;

std::string cacheRoot()
{
    return getInstallAgentCacheDir();
}

bool downloadDouble(const char* archivePath, ErrorReporter /*messages are the download's own*/, CacheSession&)
{
    ++download.calls;
    download.archivePath = archivePath;
    download.cacheLevels.clear();
    std::string level = cacheRoot();
    level.pop_back(); // no trailing "/"
    // The cache levels from ".kelvor" down to "installagent".
    std::vector<std::string> levels{level + "/installagent"};
    for (int i = 0; i < 4; ++i) {
        levels.insert(levels.begin(), level);
        level = parentOf(level);
    }
    for (const auto& path : levels)
        download.cacheLevels.emplace_back(path, isDirectory(path) ? permissionBits(path) : 0);
    if (download.action)
        download.action(archivePath);
    return download.result;
}

class Sourcing : public ::testing::Test {
protected:
    void SetUp() override
    {
        reports.clear();
        oldMask_ = umask(022);
        download = DownloadDouble{};
        home_ = std::make_unique<ScopedEnv>("HOME", scratch.makeDir("home"));
        resources = scratch.makeDir("Setup.app/Contents/Resources");
        work = scratch.makeDir("work");
        overrideMainBundle(MainBundle{scratch / "Setup.app", resources});
    }

    void TearDown() override
    {
        umask(oldMask_);
        clearMainBundleOverride();
    }

    std::string cachedAgentDir() { return cacheRoot() + "installagent"; }

    ScratchDir scratch;
    std::string resources;
    std::string work;
    // What sourcing leaves held for the agent it returns.
    std::unique_ptr<CacheSession> heldCache;

private:
    mode_t oldMask_ = 0;
    std::unique_ptr<ScopedEnv> home_;
};

const char* const kShippedAgent = "echo shipped\n";
const char* const kAlternativeAgent = "echo alternative\n";

} // namespace

TEST_F(Sourcing, ShippedArchiveIsUnpackedIntoTheWorkingDirectory)
{
    makeInstallAgentZip(resources + "/InstallAgent.zip", kShippedAgent, {{"data/file.txt", "data\n"}});
    makeInstallAgentZip(resources + "/InstallAgent_2.zip", kAlternativeAgent);

    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), work + "/install");
    EXPECT_EQ(readFile(work + "/install"), kShippedAgent);
    EXPECT_EQ(readFile(work + "/data/file.txt"), "data\n");
    EXPECT_EQ(download.calls, 0);
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(pathExists(scratch / "home/.kelvor")) << "the cache is only for downloads";
    EXPECT_TRUE(isRegularFile(resources + "/InstallAgent.zip")) << "the archive stays where it is";
}

TEST_F(Sourcing, AlternativeArchiveIsUsedWithoutTheShippedOne)
{
    makeInstallAgentZip(resources + "/InstallAgent_b.zip", kAlternativeAgent);
    writeFile(resources + "/InstallAgent_b.zip.part", "half a download");
    writeFile(resources + "/installagent_a.zip", "wrong case");

    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), work + "/install");
    EXPECT_EQ(readFile(work + "/install"), kAlternativeAgent);
    EXPECT_EQ(download.calls, 0);
    EXPECT_TRUE(reports.empty());
}

TEST_F(Sourcing, OneOfSeveralAlternativesIsUsed)
{
    makeInstallAgentZip(resources + "/InstallAgent_a.zip", "echo a\n");
    makeInstallAgentZip(resources + "/InstallAgent_b.zip", "echo b\n");
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), work + "/install");
    const std::string agent = readFile(work + "/install");
    EXPECT_TRUE(agent == "echo a\n" || agent == "echo b\n") << agent;
    EXPECT_EQ(download.calls, 0);
}

TEST_F(Sourcing, WronglyNamedArchivesLeadToTheDownload)
{
    for (const char* name : {"InstallAgent_x.ZIP", "installagent_x.zip", "InstallAgent-x.zip", "xInstallAgent_y.zip"})
        makeInstallAgentZip(resources + "/" + name, kAlternativeAgent);
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(download.calls, 1);
    EXPECT_FALSE(pathExists(work + "/install"));
}

TEST_F(Sourcing, BrokenArchiveIsReportedTwice)
{
    writeFile(resources + "/InstallAgent.zip", "not a zip");
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(reports, (std::vector<std::string>{"error: " + messages::kUnzipAgentFailed,
                                                  "error: " + messages::kInitializeAgentFailed}));
    EXPECT_EQ(download.calls, 0) << "a broken shipped archive does not lead to a download";
}

TEST_F(Sourcing, DirectoryWithAnArchiveNameIsTakenAndFailsToUnpack)
{
    makeDirectories(resources + "/InstallAgent_x.zip");
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(reports, (std::vector<std::string>{"error: " + messages::kUnzipAgentFailed,
                                                  "error: " + messages::kInitializeAgentFailed}));
    EXPECT_EQ(download.calls, 0);
}

TEST_F(Sourcing, CacheIsPreparedBeforeTheDownloadStarts)
{
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    ASSERT_EQ(download.calls, 1);
    EXPECT_EQ(download.archivePath, work + "/InstallAgent.zip");
    ASSERT_EQ(download.cacheLevels.size(), 5u);
    for (const auto& [level, mode] : download.cacheLevels)
        EXPECT_EQ(mode, 0700u) << level << " when the download started";
    EXPECT_EQ(download.cacheLevels.back().first, scratch / ("home/" + kCacheSubpath + "installagent"));
    EXPECT_TRUE(reports.empty()) << "a failed download is reported by the download itself";
    EXPECT_TRUE(isDirectory(cachedAgentDir())) << "the cache stays after a failed download";
}

TEST_F(Sourcing, DownloadTargetKeepsADoubledSeparator)
{
    EXPECT_EQ(sourceInstallAgent(work + "/", recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(download.archivePath, work + "//InstallAgent.zip");
}

TEST_F(Sourcing, NoMainBundleLeadsToTheDownload)
{
    overrideMainBundle(std::nullopt);
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(download.calls, 1);
}

TEST_F(Sourcing, UnusableCacheIsReportedBeforeAnyDownload)
{
    {
        ScopedEnv home("HOME", scratch / "home-is-a-file");
        writeFile(scratch / "home-is-a-file", "");
        EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
        EXPECT_EQ(reports, std::vector<std::string>{"error: Cannot create the cache directory " + scratch.path()
                                                     + "/home-is-a-file/" + kCacheSubpath + ": Not a directory"});
    }
    if (geteuid() == 0) {
        // Somebody else's directory on the way, or one that others may write to.
        reports.clear();
        makeDirectories(cacheRoot());
        ASSERT_EQ(chown((scratch / "home/.kelvor").c_str(), 12345, 12345), 0);
        EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
        EXPECT_EQ(reports, std::vector<std::string>{"error: Refusing the cache directory " + scratch.path()
                                                     + "/home/.kelvor: it is owned by uid 12345, not by root (uid 0)"});
        ASSERT_EQ(chown((scratch / "home/.kelvor").c_str(), 0, 0), 0);
    }
    reports.clear();
    makeDirectories(cacheRoot());
    chmod(cacheRoot().c_str(), 0770);
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("others may write to it (mode 0770)"), std::string::npos) << reports[0];
    EXPECT_EQ(download.calls, 0);
}

TEST_F(Sourcing, DownloadIntoAnAgentAlreadyCachedRunsTheCachedOne)
{
    download.result = true;
    download.action = [](const std::string& archivePath) {
        // The cached agent is there, and the download also left an archive:
        // the archive must not be unpacked over the cache.
        writeFile(getInstallAgentCacheDir() + "installagent/install", "echo cached\n");
        makeInstallAgentZip(archivePath, "echo downloaded\n", {{"marker", "unpacked\n"}});
    };
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), cachedAgentDir() + "/install");
    EXPECT_EQ(readFile(cachedAgentDir() + "/install"), "echo cached\n");
    EXPECT_FALSE(pathExists(cachedAgentDir() + "/marker"));
    EXPECT_TRUE(reports.empty());
    EXPECT_NE(heldCache, nullptr) << "the cache stays held for the agent it returns";
}

TEST_F(Sourcing, ArchiveLeftByTheDownloadIsRemovedNotUnpacked)
{
    // The download puts the agent into the cache itself; an archive beside
    // an empty cache is not the cache's.
    download.result = true;
    download.action = [](const std::string& archivePath) {
        makeInstallAgentZip(archivePath, "echo downloaded\n", {{"marker", "unpacked\n"}});
    };
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(reports, std::vector<std::string>{"error: " + messages::kInitializeAgentFailed});
    EXPECT_FALSE(pathExists(cachedAgentDir() + "/install"));
    EXPECT_FALSE(pathExists(work + "/InstallAgent.zip")) << "nothing of the download stays in the working directory";
    EXPECT_EQ(heldCache, nullptr);
}

TEST_F(Sourcing, DownloadThatLeftNothingFailsWithOneMessage)
{
    download.result = true;
    EXPECT_EQ(sourceInstallAgent(work, recordReport, heldCache, downloadDouble), "");
    EXPECT_EQ(reports, std::vector<std::string>{"error: " + messages::kInitializeAgentFailed});
}
