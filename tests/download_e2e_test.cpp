// The download path end to end: the built launcher in a bundle without an
// install agent, fetching it from the test server on 127.0.0.1, with the real
// unzip and sh, through the plain front end.

#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/random_bytes.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

using namespace testsupport;

namespace {

std::string lastLine(const std::string& text)
{
    const auto lines = splitLines(text);
    return lines.empty() ? std::string() : lines.back();
}

class DownloadEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { bundle_ = sandbox_.flatBundle("Setup dir"); }

    // Serves an agent archive from the test's files; returns the query for it.
    std::string serveAgent(const std::string& name, const std::string& tag, const ArchiveFiles& extra = {})
    {
        const std::string zip = scratch_ / name;
        makeInstallAgentZip(zip, countingAgentScript(tag), extra);
        return "file=" + zip;
    }

    // The failures below are meant to be final, not waited out: the
    // sandbox's runs make no retries unless a test asks for them.
    ProcessResult runLauncher(const std::string& url, std::vector<std::string> args = {}, EnvChanges extra = {})
    {
        std::vector<std::string> argv{bundle_.executable};
        argv.insert(argv.end(), args.begin(), args.end());
        return sandbox_.run(argv, downloadingFrom(url, extra));
    }

    int agentStarts() const { return sandbox_.agentStarts(); }

    void expectFailedRunLeftNothing(const ProcessResult& result)
    {
        EXPECT_EQ(result.exitCode, 255) << result.describe() << "\n" << result.err;
        expectEndedLeavingNothing(result);
    }

    // Whatever its exit: it said so, and left no agent, stamp or scratch behind.
    void expectEndedLeavingNothing(const ProcessResult& result)
    {
        EXPECT_EQ(lastLine(result.err), messages::kInstallationFailed);
        EXPECT_EQ(agentStarts(), 0);
        EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));
        EXPECT_FALSE(pathExists(cacheDir_ + "installagent/install"));
        EXPECT_TRUE(listDirectory(sandbox_.tmp).empty()) << "scratch directory or partial archive left behind";
    }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
    const std::string& record_ = sandbox_.record;
    const std::string& cacheDir_ = sandbox_.cacheDir;
    HttpTestServer server_;
    BundleLayout bundle_;
};

TEST_F(DownloadEndToEnd, FreshDownloadRunsTheAgentOnceAndLeavesTheCacheAndTheStamp)
{
    const std::string url = server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&etag=%22v1%22");
    const auto result = runLauncher(url, {"two words", "$HOME", "", "quote\"d"});

    ASSERT_EQ(result.exitCode, 0) << result.describe() << "\n" << result.err;
    EXPECT_EQ(agentStarts(), 1);
    const AgentRecord agent = readAgentRecord(record_);
    EXPECT_EQ(agent.args, (std::vector<std::string>{"-installbundle", bundle_.payload(), "two words", "$HOME", "",
                                                     "quote\"d"}));
    EXPECT_EQ(agent.self, cacheDir_ + "installagent/install");
    EXPECT_EQ(agent.tag, "A");
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
    EXPECT_EQ(permissionBits(cacheDir_ + "installagent"), 0700u);
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
    // The plain front end says what happens in a few lines, not one per chunk.
    EXPECT_NE(result.err.find("Downloading   0%"), std::string::npos);
    EXPECT_NE(result.err.find(messages::kInitializingInstaller), std::string::npos);
    EXPECT_LT(splitLines(result.err).size(), 10u);
}

TEST_F(DownloadEndToEnd, SameETagAbandonsTheTransferAfterTheHeadersAndRunsTheCachedAgent)
{
    // A large, incompressible archive, so that a transfer run to its end
    // could not hide in socket buffers; from a server that does not answer
    // conditional requests, so that the ETag decides.
    const std::size_t bulk = 48u << 20;
    const std::string url = server_.url("/agent.zip?" + serveAgent("agent.zip", "A", {{"bulk.bin", randomBytes(bulk)}})
                                        + "&etag=%22same%22&no_conditional=1");
    ASSERT_EQ(runLauncher(url).exitCode, 0);
    writeFile(cacheDir_ + "installagent/marker", "from the first run");

    const auto result = runLauncher(url, {"second"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(agentStarts(), 2);
    EXPECT_EQ(readAgentRecord(record_).args.back(), "second");
    EXPECT_TRUE(pathExists(cacheDir_ + "installagent/marker")) << "the cached agent was unpacked again";
    const auto second = server_.waitForRequest(1);
    ASSERT_TRUE(second);
    EXPECT_LT(second->bytesSent, static_cast<std::int64_t>(bulk / 4));
    EXPECT_TRUE(second->clientClosed);
}

TEST_F(DownloadEndToEnd, ChangedETagReplacesTheCachedAgent)
{
    ASSERT_EQ(runLauncher(server_.url("/a?" + serveAgent("a.zip", "A") + "&etag=%22v1%22")).exitCode, 0);
    writeFile(cacheDir_ + "installagent/marker", "from the first run");

    const auto result = runLauncher(server_.url("/b?" + serveAgent("b.zip", "B") + "&etag=%22v2%22"));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readAgentRecord(record_).tag, "B");
    EXPECT_EQ(agentStarts(), 2);
    EXPECT_FALSE(pathExists(cacheDir_ + "installagent/marker"));
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v2\"");
}

TEST_F(DownloadEndToEnd, UnknownLengthAndMissingETagStillInstallButNeverMatchLater)
{
    const std::string url = server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&length=0");
    const auto first = runLauncher(url);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err.find("Downloading "), std::string::npos) << "no percentage without a length";
    EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));

    ASSERT_EQ(runLauncher(url).exitCode, 0);
    EXPECT_EQ(agentStarts(), 2);
    const auto second = server_.waitForRequest(1);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->clientClosed) << "without an ETag the archive is fetched whole again";
}

TEST_F(DownloadEndToEnd, HttpErrorIsADownloadFailure)
{
    const auto result = runLauncher(server_.url("/missing?status=404&etag=%22e%22"));
    EXPECT_NE(result.err.find(messages::kDownloadFailedPrefix + "HTTP status 404"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(messages::kDownloadError), std::string::npos);
    expectFailedRunLeftNothing(result);
}

TEST_F(DownloadEndToEnd, ConnectionDroppedMidBodyFailsAndRemovesThePartialArchive)
{
    const std::string query = serveAgent("agent.zip", "A", {{"bulk.bin", randomBytes(1 << 20)}});
    const auto result = runLauncher(server_.url("/agent.zip?" + query + "&drop_after=300000&etag=%22v%22"));
    EXPECT_NE(result.err.find(messages::kDownloadFailedPrefix), std::string::npos) << result.err;
    expectFailedRunLeftNothing(result);
}

TEST_F(DownloadEndToEnd, StallLongerThanTheTimeoutFails)
{
    const auto result = runLauncher(server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&stall=60"), {},
                                    {{launcherenv::kDownloadTimeout, "1"}});
    EXPECT_NE(result.err.find(messages::kDownloadFailedPrefix), std::string::npos) << result.err;
    expectFailedRunLeftNothing(result);
}

TEST_F(DownloadEndToEnd, BodyThatIsNotAnArchiveFailsToUnpackAndLeavesNoStamp)
{
    // It starts like a zip archive, so the download takes it; unzip does not.
    const std::string junk = scratch_ / "junk.zip";
    writeFile(junk, std::string("PK\x03\x04", 4) + randomBytes(5000));
    const auto result = runLauncher(server_.url("/agent.zip?file=" + junk + "&etag=%22junk%22"));
    EXPECT_NE(result.err.find(messages::kUnzipAgentFailed), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(messages::kUnzipInstallerFailed), std::string::npos);
    expectFailedRunLeftNothing(result);
    EXPECT_EQ(listDirectory(cacheDir_), (std::vector<std::string>{".lock", "installagent"}));
    EXPECT_TRUE(listDirectory(cacheDir_ + "installagent").empty());
}

// Behind a hotel's or a company's portal the answer is the portal's page: a
// download failure that says what came, before unzip or the cache see any of
// it. A real archive is taken whatever type its server gives it.
TEST_F(DownloadEndToEnd, APortalsPageIsADownloadFailureButAnArchiveServedAsAPageIsNot)
{
    ASSERT_EQ(runLauncher(server_.url("/a?" + serveAgent("a.zip", "A") + "&etag=%22v1%22")).exitCode, 0);
    const auto cacheBefore = listDirectory(cacheDir_);
    const auto agentBefore = listDirectory(cacheDir_ + "installagent");

    const auto portal = runLauncher(server_.url("/agent.zip?status=200&etag=%22portal%22"));
    EXPECT_NE(portal.err.find(messages::kDownloadFailedPrefix
                              + "the server sent a web page (text/html), not the install agent"),
              std::string::npos)
        << portal.err;
    EXPECT_EQ(portal.err.find(messages::kUnzipAgentFailed), std::string::npos) << portal.err;
    EXPECT_EQ(portal.exitCode, 255);
    EXPECT_EQ(lastLine(portal.err), messages::kInstallationFailed);
    EXPECT_EQ(agentStarts(), 1);
    EXPECT_EQ(listDirectory(cacheDir_), cacheBefore);
    EXPECT_EQ(listDirectory(cacheDir_ + "installagent"), agentBefore);
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());

    const auto archive = runLauncher(server_.url("/b?" + serveAgent("b.zip", "B") + "&etag=%22v2%22&content_type=text/html"));
    ASSERT_EQ(archive.exitCode, 0) << archive.err;
    EXPECT_EQ(readAgentRecord(record_).tag, "B");
}

// A proxy that wants credentials the environment did not give is named; a
// server that wants them is not a proxy.
TEST_F(DownloadEndToEnd, AProxyThatWantsCredentialsIsNamed)
{
    const std::string url = "http://agent.test/agent.zip?size=10&proxy_auth=basic";
    const auto result = runLauncher(url, {}, {{"http_proxy", "http://127.0.0.1:" + std::to_string(server_.port())}});
    EXPECT_NE(result.err.find(messages::kDownloadFailedPrefix + "The proxy 127.0.0.1 requires authentication " + url),
              std::string::npos)
        << result.err;
    expectFailedRunLeftNothing(result);

    const auto server = runLauncher(server_.url("/private?auth=1"));
    EXPECT_NE(server.err.find(messages::kDownloadFailedPrefix + "Authentication required"), std::string::npos)
        << server.err;
    expectFailedRunLeftNothing(server);
}

TEST_F(DownloadEndToEnd, RefusedConnectionAndUnusableURLFail)
{
    // A port that nobody listens on: bound, then closed again.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);

    const auto refused = runLauncher("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/agent.zip");
    EXPECT_NE(refused.err.find(messages::kDownloadFailedPrefix), std::string::npos) << refused.err;
    expectFailedRunLeftNothing(refused);

    const auto empty = runLauncher("");
    EXPECT_NE(empty.err.find(messages::kDownloadError), std::string::npos) << empty.err;
    expectFailedRunLeftNothing(empty);
}

TEST_F(DownloadEndToEnd, SigtermDuringAStallEndsTheRunInOrder)
{
    const std::string url = server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&stall=60");
    BackgroundProcess launcher(sandbox_.options({bundle_.executable}, downloadingFrom(url)));
    ASSERT_TRUE(launcher.waitUntil([&] { return !server_.requests().empty(); }));
    ASSERT_TRUE(launcher.sendSignal(SIGTERM));
    const ProcessResult result = launcher.wait();
    // In order: cleaned up and said so, then ended by the signal itself.
    EXPECT_TRUE(result.signaled && result.signal == SIGTERM) << result.describe();
    expectEndedLeavingNothing(result);
}

TEST_F(DownloadEndToEnd, ApplicationBundleGetsItsResourcesPayload)
{
    const BundleLayout app = sandbox_.appBundle("My Setup.app", scratch_ / "Apps $HOME");
    const std::string url = server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&etag=%22v1%22");
    const auto result = sandbox_.run({app.executable, "x"}, downloadingFrom(url));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readAgentRecord(record_).args,
              (std::vector<std::string>{"-installbundle", app.resources + "/bundle.zip", "x"}));
}

// The retries come from the environment: none when it says 0, the usual
// four when it says nothing usable. Each is a line in the log, and the
// attempt after a drop asks only for the rest.
TEST_F(DownloadEndToEnd, ADroppedDownloadIsTriedAgainAsTheEnvironmentSays)
{
    const std::string query = serveAgent("agent.zip", "A", {{"bulk.bin", randomBytes(1 << 20)}});
    const std::string url = server_.url("/agent.zip?" + query + "&etag=%22v%22&drop_after=300000&drop_first=1&key=");

    const auto off = runLauncher(url + "off", {}, {{launcherenv::kDownloadRetries, "0"}});
    EXPECT_EQ(off.err.find("retrying"), std::string::npos) << off.err;
    expectFailedRunLeftNothing(off);

    server_.reset();
    const auto result = runLauncher(url + "default", {}, {{launcherenv::kDownloadRetries, "lots"}});
    ASSERT_EQ(result.exitCode, 0) << result.describe() << "\n" << result.err;
    EXPECT_EQ(agentStarts(), 1);
    EXPECT_NE(result.err.find("Download interrupted ("), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("(attempt 2 of 5)"), std::string::npos) << result.err;
    // The log line and the status line tell the same wait.
    std::smatch logged;
    std::smatch shown;
    ASSERT_TRUE(std::regex_search(result.err, logged, std::regex(R"(\); retrying in (\S+) s \(attempt 2 of 5\))")));
    ASSERT_TRUE(std::regex_search(result.err, shown, std::regex("Connection lost \u2014 retrying in (\\S+) s")));
    EXPECT_EQ(logged[1], shown[1]) << result.err;
    ASSERT_TRUE(server_.waitForRequest(1));
    EXPECT_EQ(server_.requests()[1].range, "bytes=300000-");
}

TEST_F(DownloadEndToEnd, HttpsTrustsTheCertificatesTheEnvironmentNames)
{
    const TestCertificate certificate = makeTestCertificate(scratch_.makeDir("tls"));
    HttpTestServer tls(certificate);
    const std::string url = tls.httpsUrl("/agent.zip?" + serveAgent("agent.zip", "A") + "&etag=%22s%22");

    const auto untrusted = runLauncher(url);
    EXPECT_NE(untrusted.err.find(messages::kDownloadFailedPrefix), std::string::npos) << untrusted.err;
    expectFailedRunLeftNothing(untrusted);

    const auto result = runLauncher(url, {}, {{launcherenv::kCaBundle, certificate.certificate}});
    ASSERT_EQ(result.exitCode, 0) << result.describe() << "\n" << result.err;
    EXPECT_EQ(agentStarts(), 1);
}

} // namespace

namespace {

TEST_F(DownloadEndToEnd, AnArchiveWhoseInstallIsADirectoryIsNoAgentAndGetsNoStamp)
{
    const std::string zip = scratch_ / "dir.zip";
    makeZip(zip, {{"install/inner", "not a script"}});
    const auto result = runLauncher(server_.url("/agent.zip?file=" + zip + "&etag=%22d%22"));
    EXPECT_NE(result.err.find("The install agent archive holds no file \"install\" at its top level"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(messages::kUnzipInstallerFailed), std::string::npos);
    expectFailedRunLeftNothing(result);
}

TEST_F(DownloadEndToEnd, AStampThatIsALinkIsReplacedNotFollowed)
{
    makeDirectories(cacheDir_);
    const std::string victim = scratch_ / "victim";
    writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), (cacheDir_ + ".validatestring").c_str()), 0);

    ASSERT_EQ(runLauncher(server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&etag=%22v1%22")).exitCode, 0);
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(isSymlink(cacheDir_ + ".validatestring"));
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
}

TEST_F(DownloadEndToEnd, ACacheThatIsNotTheUsersOwnIsRefusedBeforeAnyDownload)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the cache to another user";
    // An agent planted by another user, with a stamp that would match.
    makeDirectories(cacheDir_ + "installagent");
    writeFile(cacheDir_ + "installagent/install", countingAgentScript("planted"));
    writeFile(cacheDir_ + ".validatestring", "\"v1\"");
    const std::string kelvor = sandbox_.home + "/.kelvor";
    ASSERT_EQ(chown(kelvor.c_str(), 4321, 4321), 0);

    const auto result = runLauncher(server_.url("/agent.zip?" + serveAgent("agent.zip", "A") + "&etag=%22v1%22"));
    EXPECT_NE(result.err.find("Refusing the cache directory " + kelvor + ": it is owned by uid 4321"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(lastLine(result.err), messages::kInstallationFailed);
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(agentStarts(), 0);
    EXPECT_TRUE(server_.requests().empty()) << "nothing is downloaded for a cache that cannot be used";
}

TEST_F(DownloadEndToEnd, AClosedStderrSilencesTheRunWithoutEndingIt)
{
    // The launcher's stderr is a pipe whose reader is gone after five bytes.
    const std::string status = scratch_ / "status";
    const std::string url = server_.url("/agent.zip?" + serveAgent("agent.zip", "A", {{"bulk.bin", randomBytes(1 << 20)}})
                                        + "&etag=%22v1%22&throttle=2000000");
    const auto result = sandbox_.run({"sh", "-c", "{ \"$0\"; echo $? > \"$STATUS\"; } 2>&1 | head -c 5 >/dev/null",
                                      bundle_.executable},
                                     downloadingFrom(url, {{"STATUS", status}}));
    ASSERT_TRUE(result.exited) << result.describe();
    EXPECT_EQ(readFile(status), "0\n");
    EXPECT_EQ(agentStarts(), 1);
    EXPECT_EQ(readFile(cacheDir_ + ".validatestring"), "\"v1\"");
}

} // namespace
