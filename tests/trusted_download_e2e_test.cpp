// What the launcher trusts of a download, end to end: agents signed with the
// real minisign for a bundle that ships a public key (and every kind of bad
// signature), conditional requests, retries as the user sees them, and the
// schemes it refuses. The built launcher against the test server, plain
// front end.

#include "provisioning/constants.h"
#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/random_bytes.h"
#include "support/scratch.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class TrustedDownload : public ::testing::Test {
protected:
    void SetUp() override
    {
        bundle_ = sandbox_.flatBundle("Setup");
        zip_ = scratch_ / "agent.zip";
        makeInstallAgentZip(zip_, "AGENT_TAG=A\n" + std::string(kRecordingAgentScript),
                            {{"bulk.bin", std::string(400000, 'x')}});
    }

    // A key pair made with minisign; returns the public key's path.
    std::string makeKey(const std::string& name)
    {
        const auto made = run({"minisign", "-G", "-W", "-p", scratch_ / (name + ".pub"), "-s", scratch_ / (name + ".key")});
        EXPECT_EQ(made.exitCode, 0) << made.err;
        return scratch_ / (name + ".pub");
    }

    void sign(const std::string& key, std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv{"minisign", "-S", "-s", scratch_ / (key + ".key"), "-m", zip_, "-t", "agent A, release 7"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const auto signed_ = run(argv);
        ASSERT_EQ(signed_.exitCode, 0) << signed_.err;
    }

    void shipKey(const std::string& publicKeyPath) { copyFile(publicKeyPath, bundle_.resources + "/InstallAgent.pub", 0644); }

    std::string url(const std::string& more = "") { return server_.url("/agent.zip?file=" + zip_ + "&etag=%22v1%22" + more); }

    ProcessResult runLauncher(const std::string& url, EnvChanges extra = {})
    {
        return sandbox_.run({bundle_.executable}, downloadingFrom(url, extra));
    }

    bool agentRan() const { return sandbox_.agentRecord().ran; }

    std::size_t signatureRequests() const
    {
        std::size_t count = 0;
        for (const ServedRequest& request : server_.requests())
            count += request.path.ends_with(".minisig") ? 1 : 0;
        return count;
    }

    void expectRefused(const ProcessResult& result, const std::string& reason)
    {
        EXPECT_EQ(result.exitCode, 255) << result.describe() << "\n" << result.err;
        EXPECT_NE(result.err.find(messages::kDownloadFailedPrefix + reason), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(messages::kDownloadError), std::string::npos);
        EXPECT_FALSE(agentRan());
        EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));
        EXPECT_FALSE(pathExists(cacheDir_ + "installagent/install"));
        EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
    }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
    const std::string& cacheDir_ = sandbox_.cacheDir;
    HttpTestServer server_;
    BundleLayout bundle_;
    std::string zip_;
};

TEST_F(TrustedDownload, ABundleWithAKeyRunsAgentsSignedEitherWayAndLogsTheTrustedComment)
{
    shipKey(makeKey("vendor"));
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy signature" : "prehashed signature");
        sign("vendor", legacy ? std::vector<std::string>{"-l"} : std::vector<std::string>{});
        removeTree(sandbox_.home + "/.kelvor");
        const auto result = runLauncher(url());
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(agentRan());
        EXPECT_NE(result.err.find("trusted comment: agent A, release 7"), std::string::npos) << result.err;
    }
    // Both requests, the archive's and the signature's, say which launcher asks.
    const std::string userAgent = "launcher/" + releaseTag + " (" + platformTag + ") libcurl/"
                                  + curl_version_info(CURLVERSION_NOW)->version;
    EXPECT_EQ(signatureRequests(), 2u);
    for (const ServedRequest& request : server_.requests())
        EXPECT_EQ(request.userAgent, userAgent) << request.path;
    // The cached agent was checked when it was stored: a matching run fetches no signature.
    server_.reset();
    ASSERT_EQ(runLauncher(url("&no_conditional=1")).exitCode, 0);
    EXPECT_EQ(signatureRequests(), 0u);
}

TEST_F(TrustedDownload, EveryBadSignatureIsADownloadFailureThatLeavesTheCacheAlone)
{
    shipKey(makeKey("vendor"));
    makeKey("stranger");
    const std::string signature = zip_ + ".minisig";

    removeTree(signature);
    expectRefused(runLauncher(url()), "no signature: HTTP status 404");

    sign("stranger");
    expectRefused(runLauncher(url()), "signature made with another key");

    sign("vendor");
    const std::string good = readFile(signature);
    std::vector<std::string> lines = splitLines(good);
    ASSERT_EQ(lines.size(), 4u);
    const auto withLine = [&](std::size_t index, const std::string& line) {
        std::vector<std::string> changed = lines;
        changed[index] = line;
        std::string text;
        for (const auto& each : changed)
            text += each + "\n";
        writeFile(signature, text);
    };
    // One base64 character of the signature itself, then the trusted comment.
    std::string flipped = lines[1];
    flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
    withLine(1, flipped);
    expectRefused(runLauncher(url()), "bad signature");
    withLine(2, lines[2] + " (and something more)");
    expectRefused(runLauncher(url()), "trusted comment has been tampered with");
    withLine(1, "not base64 at all");
    expectRefused(runLauncher(url()), "malformed signature");

    // The archive itself changed after it was signed.
    writeFile(signature, good);
    const std::string original = readFile(zip_);
    std::string tampered = original;
    tampered[tampered.size() / 2] ^= 0x01;
    writeFile(zip_, tampered);
    expectRefused(runLauncher(url()), "bad signature");
}

TEST_F(TrustedDownload, WithoutAKeyNoSignatureIsAskedFor)
{
    ASSERT_EQ(runLauncher(url()).exitCode, 0);
    EXPECT_TRUE(agentRan());
    EXPECT_EQ(signatureRequests(), 0u);
}

TEST_F(TrustedDownload, NotModifiedRunsTheCachedAgentButIsNothingWithoutOne)
{
    // Without a cached agent nothing is asked conditionally; a 304 anyway is no agent.
    expectRefused(runLauncher(url("&status=304")), "HTTP status 304");

    ASSERT_EQ(runLauncher(url()).exitCode, 0);
    writeFile(cacheDir_ + "installagent/marker", "from the first run");
    server_.reset();
    const auto second = runLauncher(url());
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_TRUE(pathExists(cacheDir_ + "installagent/marker"));
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, 304);
    EXPECT_EQ(requests[0].bytesSent, 0);
}

TEST_F(TrustedDownload, ADroppedSignedDownloadIsResumedShownAndStillVerified)
{
    shipKey(makeKey("vendor"));
    sign("vendor");
    const auto result = runLauncher(url("&drop_first=2&key=flaky"), {{launcherenv::kDownloadRetries, "4"}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(agentRan());
    // About a second, give or take the jitter.
    EXPECT_TRUE(result.err.find("Connection lost \u2014 retrying in 1 s (attempt 2 of 5)") != std::string::npos
                || result.err.find("Connection lost \u2014 retrying in 2 s (attempt 2 of 5)") != std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("trusted comment: agent A, release 7"), std::string::npos);
    std::int64_t archiveBytes = 0;
    for (const ServedRequest& request : server_.requests())
        if (!request.path.ends_with(".minisig"))
            archiveBytes += request.bytesSent;
    EXPECT_LT(archiveBytes, static_cast<std::int64_t>(readFile(zip_).size()) * 11 / 10)
        << "the retries resumed rather than starting over";
}

TEST_F(TrustedDownload, ASignedDownloadThatMustStartOverIsHashedAfresh)
{
    // Large enough that the hash was well under way when the connection
    // dropped, and a server that cannot resume: the retry sends it all again.
    makeInstallAgentZip(zip_, "AGENT_TAG=A\n" + std::string(kRecordingAgentScript),
                        {{"bulk.bin", randomBytes(3 << 20, 3)}});
    shipKey(makeKey("vendor"));
    sign("vendor");
    const auto result = runLauncher(url("&drop_first=1&drop_after=2500000&no_ranges=1&key=over"),
                                    {{launcherenv::kDownloadRetries, "1"}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(agentRan());
    EXPECT_NE(result.err.find("trusted comment: agent A, release 7"), std::string::npos) << result.err;
}

TEST_F(TrustedDownload, OnlyHttpAndHttpsAreFetched)
{
    expectRefused(runLauncher("file://" + zip_), "unsupported URL scheme file://" + zip_);
    expectRefused(runLauncher("ftp://127.0.0.1/agent.zip"), "unsupported URL scheme");
}

} // namespace
