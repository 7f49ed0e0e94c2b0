// What a run of the built launcher meets around it, and how it copes: no
// room for a scratch directory, no sh on PATH, agents with read-only
// directories run by an ordinary user, a window module elsewhere than
// beside the launcher, and the system log it writes to. Full and read-only
// disks and the log's socket come from a private mount namespace (as root);
// another user from setpriv.

#include "platform/child_process.h"
#include "platform/unique_fd.h"
#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/private_mounts.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/xvfb.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#ifndef LAUNCHER_BUILD_DIR
#error "LAUNCHER_BUILD_DIR must name the build directory"
#endif

using namespace testsupport;

namespace {

class Surroundings : public ::testing::Test {
protected:
    // A flat bundle "Setup" in Downloads, beside the user's own README.txt,
    // that ships the recording agent (with a README.txt of its own).
    BundleLayout bundleAmongTheUsersFiles(const std::vector<std::string>& readOnlyDirectories = {})
    {
        writeFile(downloads_ + "/README.txt", "the user's own notes\n");
        const BundleLayout bundle = sandbox_.flatBundle("Setup", downloads_);
        ArchiveFiles files{{"README.txt", "the agent's\n"}};
        for (const std::string& directory : readOnlyDirectories)
            files.emplace_back(directory + "/key", "locked in");
        makeInstallAgentZip(bundle.resources + "/InstallAgent.zip", kRecordingAgentScript, files,
                            readOnlyDirectories);
        return bundle;
    }

    std::vector<std::string> errLines(const ProcessResult& result) const { return splitLines(result.err); }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
    const std::string downloads_ = scratch_.makeDir("Downloads");
};

TEST_F(Surroundings, WithoutRoomForAScratchDirectoryThereIsNoRun)
{
    if (const std::string why = PrivateMounts::unavailable(); !why.empty())
        GTEST_SKIP() << "a full and a read-only temporary directory " << why;
    const BundleLayout bundle = bundleAmongTheUsersFiles();
    PrivateMounts mounts;
    mounts.readOnly("/tmp").writable(scratch_.path()).full(sandbox_.tmp);

    const ProcessResult result = sandbox_.run(mounts.around({bundle.executable}));
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe() << "\n" << result.err;
    EXPECT_EQ(errLines(result),
              (std::vector<std::string>{"Cannot create a scratch directory in " + sandbox_.tmp
                                            + " (No space left on device) or /tmp (Read-only file system)",
                                        messages::kInstallationFailed}));
    EXPECT_FALSE(sandbox_.agentRecord().ran);
    EXPECT_EQ(listDirectory(downloads_), (std::vector<std::string>{"README.txt", "Setup"}));
    EXPECT_EQ(readFile(downloads_ + "/README.txt"), "the user's own notes\n");
}

TEST_F(Surroundings, WithoutShOnPathTheAgentDoesNotStart)
{
    const BundleLayout bundle = bundleAmongTheUsersFiles();
    const std::string onlyUnzip = scratch_.makeDir("only-unzip");
    ASSERT_EQ(symlink(findProgram("unzip").c_str(), (onlyUnzip + "/unzip").c_str()), 0);

    const ProcessResult result = sandbox_.run({bundle.executable}, {{"PATH", onlyUnzip}});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe() << "\n" << result.err;
    EXPECT_EQ(errLines(result), (std::vector<std::string>{"Cannot start sh: it is not on PATH",
                                                          messages::kStartAgentFailed, messages::kStartAgentFailed,
                                                          messages::kInstallationFailed}));
    EXPECT_FALSE(sandbox_.agentRecord().ran);
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
}

TEST_F(Surroundings, AShippedAgentWithAReadOnlyDirectoryLeavesNoScratchForAnOrdinaryUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the launcher as another user (setpriv)";
    const BundleLayout bundle = bundleAmongTheUsersFiles({"locked"});
    ASSERT_EQ(run({"chown", "-R", "65534:65534", scratch_.path()}).exitCode, 0);

    const ProcessResult result = sandbox_.run(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", bundle.executable});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe() << "\n" << result.err;
    EXPECT_TRUE(sandbox_.agentRecord().ran);
    EXPECT_EQ(listDirectory(sandbox_.tmp), std::vector<std::string>{}) << "the scratch directory stayed";
}

// The build directory holds a window module, and a bundle's launcher does
// not take it: on the user's machine that place may be anybody's.
TEST_F(Surroundings, TheWindowModuleIsTakenFromBesideTheLauncherOnly)
{
    ASSERT_TRUE(isRegularFile(std::string(LAUNCHER_BUILD_DIR) + "/launcher-window.so"));
    const BundleLayout bundle = sandbox_.flatBundle("Setup");
    const EnvChanges window{{launcherenv::kFrontEnd, "window"}, {"DISPLAY", unusedDisplay()}};
    const std::string notInstalled = "No download window (the window module launcher-window.so is not installed)";

    const ProcessResult without = sandbox_.run({bundle.executable}, window);
    EXPECT_NE(without.err.find(notInstalled), std::string::npos) << without.err;

    addWindowModule(bundle);
    const ProcessResult beside = sandbox_.run({bundle.executable}, window);
    EXPECT_EQ(beside.err.find(notInstalled), std::string::npos) << beside.err;
    EXPECT_NE(beside.err.find("No download window ("), std::string::npos) << "no display to open: " << beside.err;
}

// A datagram socket standing in for the system log's: what the launcher
// logged, line by line.
class SystemLogSocket {
public:
    struct Line {
        int priority = -1; // facility and severity, as syslog sends them
        std::string identity;
        std::string text;
    };

    explicit SystemLogSocket(const std::string& path)
        : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = fd_ && bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    bool bound() const { return bound_; }

    // What arrived since the last call; "<pri>Mmm dd hh:mm:ss identity[pid]: text".
    std::vector<Line> take()
    {
        std::vector<Line> lines;
        char datagram[8192];
        for (ssize_t got; (got = recv(fd_.get(), datagram, sizeof datagram, 0)) > 0;) {
            const std::string raw(datagram, static_cast<std::size_t>(got));
            const auto close = raw.find('>');
            const auto pid = raw.find('[', close);
            const auto text = raw.find("]: ", pid);
            constexpr std::size_t timestamp = 16;
            if (raw.front() != '<' || close == std::string::npos || text == std::string::npos)
                continue;
            lines.push_back({std::stoi(raw.substr(1, close - 1)),
                             raw.substr(close + 1 + timestamp, pid - close - 1 - timestamp), raw.substr(text + 3)});
        }
        return lines;
    }

private:
    UniqueFd fd_;
    bool bound_ = false;
};

// The line that starts with text, if it was logged.
std::optional<SystemLogSocket::Line> loggedLine(const std::vector<SystemLogSocket::Line>& lines,
                                                const std::string& start)
{
    for (const SystemLogSocket::Line& line : lines)
        if (line.text.starts_with(start))
            return line;
    return std::nullopt;
}

TEST_F(Surroundings, TheSystemLogNamesTheProductAndRanksItsLines)
{
    if (const std::string why = PrivateMounts::unavailable(); !why.empty())
        GTEST_SKIP() << "a system log socket of the test's own " << why;
    SystemLogSocket log(scratch_ / "log");
    ASSERT_TRUE(log.bound());
    PrivateMounts mounts;
    mounts.systemLogAt(scratch_ / "log", scratch_.makeDir("kept-dev"));
    constexpr int user = LOG_USER;

    // A failure before any window: a cache that others may write to.
    const BundleLayout app = sandbox_.appBundle("Acme Setup.app");
    makeDirectories(sandbox_.home + "/.kelvor");
    ASSERT_EQ(chmod((sandbox_.home + "/.kelvor").c_str(), 0777), 0);
    EXPECT_EQ(sandbox_.run(mounts.around({app.executable})).exitCode, 255);
    std::vector<SystemLogSocket::Line> lines = log.take();
    const auto refused = loggedLine(lines, "Refusing the cache directory " + sandbox_.home + "/.kelvor");
    ASSERT_TRUE(refused) << lines.size() << " lines";
    EXPECT_EQ(refused->identity, "Acme_Setup");
    EXPECT_EQ(refused->priority, user | LOG_ERR);
    const auto failed = loggedLine(lines, messages::kInstallationFailed);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->priority, user | LOG_ERR);

    // A signed download that the server first asks to retry, then the hand-off.
    ASSERT_EQ(chmod((sandbox_.home + "/.kelvor").c_str(), 0700), 0);
    const std::string zip = scratch_ / "agent.zip";
    makeInstallAgentZip(zip, kRecordingAgentScript);
    ASSERT_EQ(run({"minisign", "-G", "-W", "-p", scratch_ / "key.pub", "-s", scratch_ / "key.sec"}).exitCode, 0);
    ASSERT_EQ(run({"minisign", "-S", "-s", scratch_ / "key.sec", "-m", zip, "-t", "agent 1"}).exitCode, 0);
    copyFile(scratch_ / "key.pub", app.resources + "/InstallAgent.pub", 0644);
    HttpTestServer server;
    const std::string url =
        server.url("/agent.zip?file=" + zip + "&etag=%22a1%22&key=k&status_first=503&retry_after=0");
    const ProcessResult signedRun = sandbox_.run(mounts.around({app.executable}),
                                                 downloadingFrom(url, {{launcherenv::kDownloadRetries, "1"}}));
    EXPECT_EQ(signedRun.exitCode, 0) << signedRun.err;
    lines = log.take();
    const auto retry = loggedLine(lines, "Download interrupted");
    const auto good = loggedLine(lines, "Good signature of " + url);
    const auto handOff = loggedLine(lines, "Starting the install agent " + sandbox_.cacheDir + "installagent/install");
    ASSERT_TRUE(retry && good && handOff) << lines.size() << " lines";
    EXPECT_EQ(retry->priority, user | LOG_WARNING);
    EXPECT_EQ(good->priority, user | LOG_INFO);
    EXPECT_EQ(handOff->priority, user | LOG_INFO);
    EXPECT_EQ(handOff->identity, "Acme_Setup");
}

} // namespace
