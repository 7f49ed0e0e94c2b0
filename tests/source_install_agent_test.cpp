// Where the install agent comes from and where it goes: the release
// constants, the per-user cache, the stamp, mkpath, unpacking with the real
// unzip, and the choice between shipped archive, alternative archive and
// download (the download step replaced by a test double).

#include "platform/main_bundle.h"
#include "provisioning/cache_paths.h"
#include "provisioning/cache_session.h"
#include "provisioning/constants.h"
#include "provisioning/mkpath.h"
#include "provisioning/source_install_agent.h"
#include "provisioning/unzip_install_agent.h"
#include "provisioning/validation_stamp.h"
#include "support/bundle_layout.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

const std::string kSubpath = ".kelvor/installagent/Q3071x/ostx86/";

// Everything the code under test reports, in order.
std::vector<std::string> messages;

void recordMessage(std::string message, bool isError)
{
    messages.push_back((isError ? "error: " : "info: ") + message);
}

class Provisioning : public ::testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        oldMask_ = umask(022);
    }
    void TearDown() override
    {
        umask(oldMask_);
        clearMainBundleOverride();
    }

    ScratchDir scratch;

private:
    mode_t oldMask_ = 0;
};

} // namespace

// ---------------------------------------------------------------- constants

TEST(ReleaseConstants, DefaultUrlIsPlainHttpWithTheReleasePath)
{
    const std::string scheme = "http://";
    ASSERT_EQ(defaultInstallAgentURL.compare(0, scheme.size(), scheme), 0) << defaultInstallAgentURL;
    const std::string rest = defaultInstallAgentURL.substr(scheme.size());
    const auto slash = rest.find('/');
    ASSERT_NE(slash, std::string::npos);
    const std::string host = rest.substr(0, slash);
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host.find(':'), std::string::npos) << "no port expected in " << defaultInstallAgentURL;
    EXPECT_EQ(rest.substr(slash), "/pi_install_agent_pi_Q3071x_ostx86");
}

TEST(ReleaseConstants, CacheAndFileNames)
{
    EXPECT_EQ(cacheSubpath, kSubpath);
    EXPECT_EQ(installAgentZipName, "InstallAgent.zip");
    EXPECT_EQ(installAgentDirName, "installagent");
    EXPECT_EQ(validationFileName, ".validatestring");
}

// ---------------------------------------------------------------- cache paths

TEST_F(Provisioning, CacheDirFollowsHome)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Users/user1", "/Users/user1/" + kSubpath},
        {"/Users/user1/", "/Users/user1/" + kSubpath},
        {"/", "/" + kSubpath},
        {".", "." + kSubpath}, // a one-character home gets no separator
        {"", "/tmp/" + kSubpath},
        {"/home/with blank", "/home/with blank/" + kSubpath},
    };
    for (const auto& [home, expected] : cases) {
        ScopedEnv env("HOME", home);
        EXPECT_EQ(getInstallAgentCacheDir(), expected) << "HOME=\"" << home << "\"";
    }
}

TEST_F(Provisioning, CacheDirWithoutHomeUsesThePasswordDatabase)
{
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    std::string home = entry->pw_dir != nullptr ? entry->pw_dir : "";
    if (home.empty())
        home = "/tmp";
    if (home.size() > 1 && home.back() != '/')
        home += '/';

    ScopedEnv env("HOME", std::nullopt);
    EXPECT_EQ(getInstallAgentCacheDir(), home + kSubpath);
}

TEST_F(Provisioning, CachedAgentCountsOnlyWhenItsInstallIsThere)
{
    ScopedEnv env("HOME", scratch.path());
    const std::string agentDir = scratch / (kSubpath + "installagent");
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

TEST_F(Provisioning, CachedAgentIsLookedUpAfreshOnEveryCall)
{
    ScopedEnv env("HOME", scratch.path());
    EXPECT_EQ(installAgentDirOnDisk(), "");
    makeDirectories(scratch / (kSubpath + "installagent"));
    writeFile(scratch / (kSubpath + "installagent/install"), "");
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

// ---------------------------------------------------------------- validation stamp

TEST_F(Provisioning, StampHoldsExactlyTheValidationString)
{
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";

    writeValidationString(dir, "\"etag-1234567890\"");
    EXPECT_EQ(readFile(stamp), "\"etag-1234567890\"") << "stored as given, quotes included, nothing after it";
    EXPECT_TRUE(isCacheValid(dir, "\"etag-1234567890\""));
    EXPECT_FALSE(isCacheValid(dir, "etag-1234567890"));

    writeValidationString(dir, "short");
    EXPECT_EQ(readFile(stamp), "short") << "a shorter value leaves nothing of the longer one";
    EXPECT_TRUE(isCacheValid(dir, "short"));
    EXPECT_FALSE(isCacheValid(dir, "shorter"));
    EXPECT_FALSE(isCacheValid(dir, "shor"));
    EXPECT_FALSE(isCacheValid(dir, "SHORT"));
}

TEST_F(Provisioning, StampMatchesOnItsFirstLineOnly)
{
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";

    writeFile(stamp, "abc\nsecond line\n");
    EXPECT_TRUE(isCacheValid(dir, "abc"));
    EXPECT_FALSE(isCacheValid(dir, "abcd"));
    EXPECT_FALSE(isCacheValid(dir, "ab"));

    writeFile(stamp, "abc\r\n");
    EXPECT_FALSE(isCacheValid(dir, "abc")) << "a carriage return is part of the line";
    EXPECT_FALSE(isCacheValid(dir, " abc"));

    writeFile(stamp, "");
    EXPECT_FALSE(isCacheValid(dir, "")) << "an empty validation string never matches";
    EXPECT_FALSE(isCacheValid(dir, "abc"));

    writeFile(stamp, "\nabc");
    EXPECT_FALSE(isCacheValid(dir, "abc"));
    EXPECT_FALSE(isCacheValid(dir, ""));
}

TEST_F(Provisioning, StampIsNotWrittenWithoutAValueOrADirectory)
{
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";

    writeValidationString(dir, "kept");
    writeValidationString(dir, "");
    EXPECT_EQ(readFile(stamp), "kept");

    const std::string missing = scratch / "missing";
    writeValidationString(missing, "value");
    EXPECT_FALSE(pathExists(missing));
    EXPECT_FALSE(isCacheValid(missing, "value"));
    EXPECT_TRUE(messages.empty());
}

TEST_F(Provisioning, StampInADirectoryWithATrailingSlash)
{
    const std::string dir = scratch.path() + "/";
    writeValidationString(dir, "v1");
    EXPECT_EQ(readFile(scratch / ".validatestring"), "v1");
    EXPECT_TRUE(isCacheValid(dir, "v1"));
    EXPECT_TRUE(isCacheValid(scratch.path(), "v1"));
}

TEST_F(Provisioning, ALinkAtTheStampsPathIsNoStamp)
{
    // A stamp vouches for the agent the cache's swap put beside it; a link
    // was put there by something else, whatever it points to.
    const std::string dir = scratch.path();
    const std::string stamp = dir + "/.validatestring";
    writeFile(scratch / "elsewhere", "v1");
    ASSERT_EQ(symlink((scratch / "elsewhere").c_str(), stamp.c_str()), 0);
    EXPECT_EQ(readValidationString(dir), "");
    EXPECT_FALSE(isCacheValid(dir, "v1"));

    writeValidationString(dir, "v2");
    EXPECT_FALSE(isSymlink(stamp)) << "the link is replaced, not followed";
    EXPECT_EQ(readFile(scratch / "elsewhere"), "v1");
    EXPECT_TRUE(isCacheValid(dir, "v2"));
}

TEST_F(Provisioning, RemovedStampMatchesNothing)
{
    const std::string dir = scratch.path();
    writeValidationString(dir, "v1");
    removeValidationString(dir);
    EXPECT_FALSE(pathExists(scratch / ".validatestring"));
    EXPECT_FALSE(isCacheValid(dir, "v1"));
    removeValidationString(dir); // already gone: harmless
}

// ---------------------------------------------------------------- mkpath

TEST_F(Provisioning, MkpathCreatesEveryMissingLevelWithTheMode)
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

TEST_F(Provisioning, MkpathTakesDoubledAndTrailingSlashesAsOne)
{
    EXPECT_EQ(mkpath("/", 0700), 0);
    EXPECT_EQ(mkpath(scratch.path() + "//x//y/", 0700), 0);
    EXPECT_TRUE(isDirectory(scratch / "x/y"));
    EXPECT_EQ(mkpath(scratch.path() + "/z/", 0700), 0);
    EXPECT_TRUE(isDirectory(scratch / "z"));
}

TEST_F(Provisioning, MkpathGoesThroughALinkToADirectory)
{
    makeDirectories(scratch / "real");
    ASSERT_EQ(symlink((scratch / "real").c_str(), (scratch / "link").c_str()), 0);
    EXPECT_EQ(mkpath(scratch / "link/sub", 0700), 0);
    EXPECT_TRUE(isDirectory(scratch / "real/sub"));
}

TEST_F(Provisioning, MkpathOfARelativePathStartsInTheCurrentDirectory)
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

TEST_F(Provisioning, MkpathStopsAtAFileInTheWay)
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

TEST_F(Provisioning, MkpathEndsAtTheFirstLevelThatCannotBeMade)
{
    // A name longer than any file system takes: mkdir fails even for root.
    const std::string tooLong(300, 'n');
    errno = 0;
    EXPECT_EQ(mkpath(scratch / ("made/" + tooLong + "/never"), 0700), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(isDirectory(scratch / "made")) << "levels above the failure stay";
    EXPECT_EQ(listDirectory(scratch / "made"), std::vector<std::string>{});
}

TEST_F(Provisioning, MkpathReportsAnUnwritableParent)
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

// ---------------------------------------------------------------- unzipInstallAgent

namespace {

// A stand-in for unzip that writes its arguments (NUL-terminated) to a file
// and exits with the given status.
std::string makeFakeUnzip(const std::string& path, const std::string& record, int status)
{
    writeFile(path,
              "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" + record + "'\nexit " + std::to_string(status) + "\n",
              0755);
    return path;
}

} // namespace

TEST_F(Provisioning, UnzipUnpacksWithTheRealUnzipAndOverwrites)
{
    const std::string zip = scratch.makeDir("archive dir $HOME \"q\"") + "/agent 'x'.zip";
    makeInstallAgentZip(zip, "echo new\n", {{"lib/helper.sh", "helper\n"}});
    const std::string destination = scratch.makeDir("dest `d` $PATH");
    writeFile(destination + "/install", "echo old\n");

    EXPECT_TRUE(unzipInstallAgent(zip, destination, "unzip", recordMessage));
    EXPECT_EQ(readFile(destination + "/install"), "echo new\n") << "existing files are overwritten";
    EXPECT_EQ(readFile(destination + "/lib/helper.sh"), "helper\n");
    EXPECT_TRUE(messages.empty());
}

TEST_F(Provisioning, UnzipRunsTheProgramWithItsSixWords)
{
    const std::string record = scratch / "record";
    const std::string program = makeFakeUnzip(scratch.makeDir("tools dir") + "/my unzip", record, 0);
    const std::string zip = scratch / "a $b.zip";
    writeFile(zip, "whatever");
    const std::string destination = scratch / "dest \"x\"";

    EXPECT_TRUE(unzipInstallAgent(zip, destination, program, recordMessage));
    EXPECT_EQ(splitNulTerminated(readFile(record)), (std::vector<std::string>{"-qq", "-o", zip, "-d", destination}));
    EXPECT_TRUE(messages.empty());
}

TEST_F(Provisioning, UnzipOfAMissingArchiveIsSilentAndRunsNothing)
{
    const std::string record = scratch / "record";
    const std::string program = makeFakeUnzip(scratch / "fake-unzip", record, 0);
    EXPECT_FALSE(unzipInstallAgent(scratch / "missing.zip", scratch.path(), program, recordMessage));
    EXPECT_FALSE(pathExists(record)) << "unzip must not run";
    EXPECT_TRUE(messages.empty());
}

TEST_F(Provisioning, UnzipFailureIsReportedOnce)
{
    const std::string destination = scratch.makeDir("dest");
    const std::string failed = "error: Failed to unzip the install agent";

    // A directory passes the existence test; unzip then fails on it.
    const std::string directory = scratch.makeDir("agent.zip");
    EXPECT_FALSE(unzipInstallAgent(directory, destination, "unzip", recordMessage));
    EXPECT_EQ(messages, std::vector<std::string>{failed});

    messages.clear();
    writeFile(scratch / "broken.zip", "this is not a zip archive");
    EXPECT_FALSE(unzipInstallAgent(scratch / "broken.zip", destination, "unzip", recordMessage));
    EXPECT_EQ(messages, std::vector<std::string>{failed});

    messages.clear();
    const std::string program = makeFakeUnzip(scratch / "fake-unzip", scratch / "record", 1);
    writeFile(scratch / "ok.zip", "x");
    EXPECT_FALSE(unzipInstallAgent(scratch / "ok.zip", destination, program, recordMessage));
    EXPECT_EQ(messages, std::vector<std::string>{failed}) << "any non-zero status counts";
}

TEST_F(Provisioning, WhatAFailedUnzipSaidGoesToTheLogItsLastTenLinesOnly)
{
    // Twelve lines on both streams, blank lines and blanks around them; exit 9.
    const std::string program = scratch / "talking-unzip";
    writeFile(program,
              "#!/bin/sh\nfor i in 1 2 3 4 5 6; do echo \"  out $i \"; echo; echo \"err $i\" >&2; done\nexit 9\n",
              0755);
    writeFile(scratch / "agent.zip", "x");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(unzipInstallAgent(scratch / "agent.zip", scratch.makeDir("dest"), program, recordMessage));
    const std::vector<std::string> logged = splitLines(testing::internal::GetCapturedStderr());
    std::vector<std::string> expected;
    for (int i = 2; i <= 6; ++i) {
        expected.push_back("unzip: out " + std::to_string(i));
        expected.push_back("unzip: err " + std::to_string(i));
    }
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(messages, std::vector<std::string>{"error: Failed to unzip the install agent"});
}

TEST_F(Provisioning, UnzipMissingFromPathIsReported)
{
    const std::string zip = scratch / "agent.zip";
    makeInstallAgentZip(zip, "echo hi\n");
    const std::string destination = scratch.makeDir("dest");
    ScopedEnv path("PATH", scratch.makeDir("empty-bin"));

    EXPECT_FALSE(unzipInstallAgent(zip, destination, "unzip", recordMessage));
    EXPECT_EQ(messages, std::vector<std::string>{"error: Failed to unzip the install agent"});
    EXPECT_EQ(listDirectory(destination), std::vector<std::string>{});
}

// ---------------------------------------------------------------- alternative archive names

TEST(AlternativeArchiveName, PrefixAndSuffixMustMatchExactly)
{
    for (const char* name : {"InstallAgent_.zip", "InstallAgent_x.zip", "InstallAgent_x.zip.zip", "InstallAgent_2.zip",
                             "InstallAgent_with blank.zip"})
        EXPECT_TRUE(isAlternativeInstallAgentName(name)) << name;
    for (const char* name : {"InstallAgent_x.ZIP", "installagent_x.zip", "InstallAgent-x.zip", "InstallAgent_x.zip.part",
                             "xInstallAgent_y.zip", "InstallAgent.zip", "InstallAgent_", "InstallAgent_zip",
                             "InstallAgent.zip_", ".", "..", ""})
        EXPECT_FALSE(isAlternativeInstallAgentName(name)) << name;
}

// ---------------------------------------------------------------- sourceInstallAgent

namespace {

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

class Sourcing : public Provisioning {
protected:
    void SetUp() override
    {
        Provisioning::SetUp();
        download = DownloadDouble{};
        home_ = std::make_unique<ScopedEnv>("HOME", scratch.makeDir("home"));
        resources = scratch.makeDir("Setup.app/Contents/Resources");
        work = scratch.makeDir("work");
        overrideMainBundle(MainBundle{scratch / "Setup.app", resources});
    }

    std::string cachedAgentDir() { return cacheRoot() + "installagent"; }

    std::string resources;
    std::string work;
    // What sourcing leaves held for the agent it returns.
    std::unique_ptr<CacheSession> heldCache;

private:
    std::unique_ptr<ScopedEnv> home_;
};

const char* const kShippedAgent = "echo shipped\n";
const char* const kAlternativeAgent = "echo alternative\n";

} // namespace

TEST_F(Sourcing, ShippedArchiveIsUnpackedIntoTheWorkingDirectory)
{
    makeInstallAgentZip(resources + "/InstallAgent.zip", kShippedAgent, {{"data/file.txt", "data\n"}});
    makeInstallAgentZip(resources + "/InstallAgent_2.zip", kAlternativeAgent);

    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), work + "/install");
    EXPECT_EQ(readFile(work + "/install"), kShippedAgent);
    EXPECT_EQ(readFile(work + "/data/file.txt"), "data\n");
    EXPECT_EQ(download.calls, 0);
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(pathExists(scratch / "home/.kelvor")) << "the cache is only for downloads";
    EXPECT_TRUE(isRegularFile(resources + "/InstallAgent.zip")) << "the archive stays where it is";
}

TEST_F(Sourcing, AlternativeArchiveIsUsedWithoutTheShippedOne)
{
    makeInstallAgentZip(resources + "/InstallAgent_b.zip", kAlternativeAgent);
    writeFile(resources + "/InstallAgent_b.zip.part", "half a download");
    writeFile(resources + "/installagent_a.zip", "wrong case");

    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), work + "/install");
    EXPECT_EQ(readFile(work + "/install"), kAlternativeAgent);
    EXPECT_EQ(download.calls, 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(Sourcing, OneOfSeveralAlternativesIsUsed)
{
    makeInstallAgentZip(resources + "/InstallAgent_a.zip", "echo a\n");
    makeInstallAgentZip(resources + "/InstallAgent_b.zip", "echo b\n");
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), work + "/install");
    const std::string agent = readFile(work + "/install");
    EXPECT_TRUE(agent == "echo a\n" || agent == "echo b\n") << agent;
    EXPECT_EQ(download.calls, 0);
}

TEST_F(Sourcing, WronglyNamedArchivesLeadToTheDownload)
{
    for (const char* name : {"InstallAgent_x.ZIP", "installagent_x.zip", "InstallAgent-x.zip", "xInstallAgent_y.zip"})
        makeInstallAgentZip(resources + "/" + name, kAlternativeAgent);
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(download.calls, 1);
    EXPECT_FALSE(pathExists(work + "/install"));
}

TEST_F(Sourcing, BrokenArchiveIsReportedTwice)
{
    writeFile(resources + "/InstallAgent.zip", "not a zip");
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(messages, (std::vector<std::string>{"error: Failed to unzip the install agent",
                                                  "error: Failed to initialize the install agent."}));
    EXPECT_EQ(download.calls, 0) << "a broken shipped archive does not lead to a download";
}

TEST_F(Sourcing, DirectoryWithAnArchiveNameIsTakenAndFailsToUnpack)
{
    makeDirectories(resources + "/InstallAgent_x.zip");
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(messages, (std::vector<std::string>{"error: Failed to unzip the install agent",
                                                  "error: Failed to initialize the install agent."}));
    EXPECT_EQ(download.calls, 0);
}

TEST_F(Sourcing, CacheIsPreparedBeforeTheDownloadStarts)
{
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    ASSERT_EQ(download.calls, 1);
    EXPECT_EQ(download.archivePath, work + "/InstallAgent.zip");
    ASSERT_EQ(download.cacheLevels.size(), 5u);
    for (const auto& [level, mode] : download.cacheLevels)
        EXPECT_EQ(mode, 0700u) << level << " when the download started";
    EXPECT_EQ(download.cacheLevels.back().first, scratch / "home/.kelvor/installagent/Q3071x/ostx86/installagent");
    EXPECT_TRUE(messages.empty()) << "a failed download is reported by the download itself";
    EXPECT_TRUE(isDirectory(cachedAgentDir())) << "the cache stays after a failed download";
}

TEST_F(Sourcing, DownloadTargetKeepsADoubledSeparator)
{
    EXPECT_EQ(sourceInstallAgent(work + "/", recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(download.archivePath, work + "//InstallAgent.zip");
}

TEST_F(Sourcing, NoMainBundleLeadsToTheDownload)
{
    overrideMainBundle(std::nullopt);
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(download.calls, 1);
}

TEST_F(Sourcing, UnusableCacheIsReportedBeforeAnyDownload)
{
    {
        ScopedEnv home("HOME", scratch / "home-is-a-file");
        writeFile(scratch / "home-is-a-file", "");
        EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
        EXPECT_EQ(messages, std::vector<std::string>{"error: Cannot create the cache directory " + scratch.path()
                                                     + "/home-is-a-file/" + kSubpath + ": Not a directory"});
    }
    if (geteuid() == 0) {
        // Somebody else's directory on the way, or one that others may write to.
        messages.clear();
        makeDirectories(cacheRoot());
        ASSERT_EQ(chown((scratch / "home/.kelvor").c_str(), 12345, 12345), 0);
        EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
        EXPECT_EQ(messages, std::vector<std::string>{"error: Refusing the cache directory " + scratch.path()
                                                     + "/home/.kelvor: it is owned by uid 12345, not by root (uid 0)"});
        ASSERT_EQ(chown((scratch / "home/.kelvor").c_str(), 0, 0), 0);
    }
    messages.clear();
    makeDirectories(cacheRoot());
    chmod(cacheRoot().c_str(), 0770);
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("others may write to it (mode 0770)"), std::string::npos) << messages[0];
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
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), cachedAgentDir() + "/install");
    EXPECT_EQ(readFile(cachedAgentDir() + "/install"), "echo cached\n");
    EXPECT_FALSE(pathExists(cachedAgentDir() + "/marker"));
    EXPECT_TRUE(messages.empty());
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
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(messages, std::vector<std::string>{"error: Failed to initialize the install agent."});
    EXPECT_FALSE(pathExists(cachedAgentDir() + "/install"));
    EXPECT_FALSE(pathExists(work + "/InstallAgent.zip")) << "nothing of the download stays in the working directory";
    EXPECT_EQ(heldCache, nullptr);
}

TEST_F(Sourcing, DownloadThatLeftNothingFailsWithOneMessage)
{
    download.result = true;
    EXPECT_EQ(sourceInstallAgent(work, recordMessage, heldCache, downloadDouble), "");
    EXPECT_EQ(messages, std::vector<std::string>{"error: Failed to initialize the install agent."});
}
