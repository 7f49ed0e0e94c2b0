// What a bundle with keys takes, end to end: only agents one of its own keys
// vouched for (also from the cache), nothing at all when its key file is
// unusable, and only what the signer's trusted comment allows: this release
// and platform, nothing signed before the newest agent taken, no more bytes
// than it states. The built launcher against the test server, agents signed
// with the real minisign, plain front end.

#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/minisign_keys.h"
#include "support/process.h"
#include "support/random_bytes.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

using namespace testsupport;

namespace {

class BundleKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        keys_.make("vendor");
        signed_ = sandbox_.flatBundle("Signed");
        shipKeys(signed_, {"vendor"});
        agentA_ = makeAgent("A");
    }

    // An agent archive whose script records the tag.
    std::string makeAgent(const std::string& tag)
    {
        const std::string zip = scratch_ / ("agent-" + tag + ".zip");
        makeInstallAgentZip(zip, "AGENT_TAG=" + tag + "\n" + std::string(kRecordingAgentScript),
                            {{"bulk.bin", randomBytes(300000, static_cast<unsigned>(tag[0]))}});
        return zip;
    }

    // InstallAgent.pub holding the named keys, one after another.
    void shipKeys(const BundleLayout& bundle, const std::vector<std::string>& names)
    {
        std::string text;
        for (const std::string& name : names)
            text += readFile(keys_.publicKey(name));
        writeFile(bundle.resources + "/InstallAgent.pub", text);
    }

    std::string url(const std::string& zip, const std::string& etag, const std::string& more = "") const
    {
        return server_.url("/agent.zip?file=" + zip + "&etag=%22" + etag + "%22" + more);
    }

    // A run of the bundle's launcher; the record of an earlier agent is gone first.
    ProcessResult runIn(const BundleLayout& bundle, const std::string& url, EnvChanges extra = {})
    {
        removeTree(sandbox_.record);
        makeDirectories(sandbox_.record);
        return sandbox_.run({bundle.executable}, downloadingFrom(url, extra));
    }

    // The tag of the agent that ran, "" when none did.
    std::string ranTag() const
    {
        const AgentRecord record = sandbox_.agentRecord();
        return record.ran ? record.tag : std::string();
    }

    // The tag of the agent in the cache, "" when it holds none.
    std::string cachedTag() const
    {
        const std::string install = cacheDir_ + "installagent/install";
        if (!isRegularFile(install))
            return {};
        const std::string first = splitLines(readFile(install)).at(0);
        return first.substr(first.find('=') + 1);
    }

    std::size_t signatureRequests() const
    {
        std::size_t count = 0;
        for (const ServedRequest& request : server_.requests())
            count += request.path.ends_with(".minisig") ? 1 : 0;
        return count;
    }

    void expectRan(const ProcessResult& result, const std::string& tag)
    {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(ranTag(), tag) << result.err;
    }

    // Refused with the reason; the cache still holds the agent it held.
    void expectRefused(const ProcessResult& result, const std::string& reason, const std::string& stillCached)
    {
        EXPECT_EQ(result.exitCode, 255) << result.describe() << "\n" << result.err;
        EXPECT_NE(result.err.find(messages::kDownloadFailedPrefix + reason), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(messages::kDownloadError), std::string::npos) << result.err;
        EXPECT_EQ(ranTag(), "");
        EXPECT_EQ(cachedTag(), stillCached);
        EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
    }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
    const std::string& cacheDir_ = sandbox_.cacheDir;
    const MinisignKeys keys_{scratch_.path()};
    HttpTestServer server_;
    BundleLayout signed_;
    std::string agentA_;
};

TEST_F(BundleKeys, AnAgentNoneOfItsKeysVouchedForIsDownloadedAgainAndChecked)
{
    // The vendor's agent A is signed; T, with the vendor's own ETag, is not.
    keys_.sign("vendor", agentA_, "agent A");
    const std::string tampered = makeAgent("T");
    const BundleLayout unsigned_ = sandbox_.flatBundle("Unsigned");

    for (const std::string more : {"", "&no_conditional=1"}) {
        SCOPED_TRACE(more.empty() ? "the server answers 304" : "the server sends the same ETag");
        // A bundle without a key of the same release stores T.
        removeTree(sandbox_.home + "/.kelvor");
        expectRan(runIn(unsigned_, url(tampered, "v1")), "T");
        ASSERT_EQ(cachedTag(), "T");
        // The signed bundle does not ask about it, nor run it: A comes, and is checked.
        server_.reset();
        expectRan(runIn(signed_, url(agentA_, "v1", more)), "A");
        EXPECT_EQ(server_.requests().at(0).status, 200);
        EXPECT_EQ(signatureRequests(), 1u);
        EXPECT_EQ(cachedTag(), "A");
    }

    // Vouched for by the vendor's key: the next run takes it from the cache.
    server_.reset();
    expectRan(runIn(signed_, url(agentA_, "v1")), "A");
    EXPECT_EQ(server_.requests().at(0).status, 304);
    EXPECT_EQ(signatureRequests(), 0u);

    // A bundle of the same release with another key takes nothing the vendor's key signed.
    keys_.make("other");
    const BundleLayout other = sandbox_.flatBundle("Other");
    shipKeys(other, {"other"});
    server_.reset();
    expectRefused(runIn(other, url(agentA_, "v1")), "signature made with another key", "A");
    EXPECT_EQ(server_.requests().at(0).status, 200);
}

TEST_F(BundleKeys, AKeyFileThatYieldsNoKeyEndsTheRunBeforeAnyRequest)
{
    const std::string key = signed_.resources + "/InstallAgent.pub";
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"it is a link that leads nowhere", [&] { ASSERT_EQ(symlink("vendor.pub.gone", key.c_str()), 0); }},
        {"it is a directory", [&] { makeDirectories(key); }},
        {"it is empty", [&] { writeFile(key, ""); }},
        {"malformed public key: key line is not base64 of 42 bytes",
         [&] { writeFile(key, "untrusted comment: minisign public key\nnot base64\n"); }},
    };
    for (const auto& [reason, makeIt] : cases) {
        SCOPED_TRACE(reason);
        removeTree(key);
        makeIt();
        const ProcessResult result = runIn(signed_, url(agentA_, "v1"));
        EXPECT_EQ(result.exitCode, 255);
        EXPECT_EQ(splitLines(result.err),
                  (std::vector<std::string>{"Cannot use the public key " + key + ": " + reason,
                                            messages::kInstallationFailed}));
        EXPECT_EQ(ranTag(), "");
        EXPECT_TRUE(server_.requests().empty());
        EXPECT_FALSE(pathExists(sandbox_.home + "/.kelvor"));
    }
}

TEST_F(BundleKeys, AnAgentSignedBeforeTheCachedOneIsRefusedUntilItIsSignedAgain)
{
    const std::string agentB = makeAgent("B");
    keys_.sign("vendor", agentB, "timestamp:1700000000\tfile:agent-B.zip\thashed");
    expectRan(runIn(signed_, url(agentB, "v2")), "B");

    // The older A with its old, valid signature: refused as soon as the
    // signature is there, while the (slow) archive still comes.
    keys_.sign("vendor", agentA_, "timestamp:1600000000\tfile:agent-A.zip\thashed");
    server_.reset();
    const ProcessResult older = runIn(signed_, url(agentA_, "v1", "&throttle=500000"));
    expectRefused(older,
                  "signed 2020-09-13 12:26:40 UTC, older than the cached agent signed 2023-11-14 22:13:20 UTC", "B");
    const auto archiveRequest = server_.waitForRequest(0);
    EXPECT_TRUE(archiveRequest && archiveRequest->clientClosed) << older.err;

    // The vendor goes back on purpose: A signed again, now.
    const ProcessResult resigned =
        run({LAUNCHER_BUNDLE_TOOL, "--sign-agent", agentA_, "--secret-key", keys_.secretKey("vendor")});
    ASSERT_EQ(resigned.exitCode, 0) << resigned.err;
    expectRan(runIn(signed_, url(agentA_, "v1")), "A");
    EXPECT_EQ(cachedTag(), "A");
}

TEST_F(BundleKeys, AnAgentSignedForAnotherReleaseOrPlatformIsRefused)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"release:R2099a\tplatform:ostx86", "signed for release R2099a, not for Q3071x"},
        {"release:Q3071x\tplatform:arm64", "signed for platform arm64, not for ostx86"},
        {"timestamp:soon\tfile:agent-A.zip", "malformed trusted comment: timestamp is not a whole number (\"soon\")"},
    };
    for (const auto& [comment, reason] : cases) {
        SCOPED_TRACE(comment);
        keys_.sign("vendor", agentA_, comment);
        expectRefused(runIn(signed_, url(agentA_, "v1")), reason, "");
    }
    keys_.sign("vendor", agentA_, "release:Q3071x\tplatform:ostx86");
    expectRan(runIn(signed_, url(agentA_, "v1")), "A");
}

TEST_F(BundleKeys, ABodyLongerThanItsSignatureStatesIsCutWithOrWithoutALength)
{
    const std::string size = std::to_string(readFile(agentA_).size());
    keys_.sign("vendor", agentA_, "size:" + size);
    // The signed archive, and a megabyte more after it, with A's signature.
    const std::string longer = scratch_ / "longer.zip";
    writeFile(longer, readFile(agentA_) + std::string(1 << 20, 'j'));
    writeFile(longer + ".minisig", readFile(agentA_ + ".minisig"));
    const std::string paced = "&throttle=2000000";

    expectRefused(runIn(signed_, url(longer, "v1", paced)),
                  "the download is " + std::to_string((1 << 20) + std::stoul(size))
                      + " bytes, more than the size its signature gives (" + size + " bytes)",
                  "");
    expectRefused(runIn(signed_, url(longer, "v1", paced + "&length=0")),
                  "the download went past the size its signature gives (" + size + " bytes)", "");
    expectRan(runIn(signed_, url(agentA_, "v1", "&length=0")), "A");
}

TEST_F(BundleKeys, AnArchiveThatChangesBetweenAttemptsIsCheckedAgainstItsOwnSignature)
{
    // v1 is up for the first attempt, which drops; v2 for the second, which
    // asks for the rest of v1 and gets all of v2.
    const std::string agentB = makeAgent("B");
    keys_.sign("vendor", agentA_, "agent A");
    keys_.sign("vendor", agentB, "agent B");
    const std::string changing =
        url(agentB, "v2", "&file_first=" + agentA_ + "&etag_first=%22v1%22&drop_first=1&key=change");
    const ProcessResult result = runIn(signed_, changing, {{launcherenv::kDownloadRetries, "2"}});
    expectRan(result, "B");
    EXPECT_NE(result.err.find("trusted comment: agent B"), std::string::npos) << result.err;
    EXPECT_EQ(signatureRequests(), 2u);
}

TEST_F(BundleKeys, AnAgentSignedByAnyOfItsKeysRuns)
{
    keys_.make("next");
    shipKeys(signed_, {"vendor", "next"});
    for (const std::string key : {"next", "vendor"}) {
        SCOPED_TRACE(key);
        removeTree(sandbox_.home + "/.kelvor");
        keys_.sign(key, agentA_, "agent A by " + key);
        const ProcessResult result = runIn(signed_, url(agentA_, "v1"));
        expectRan(result, "A");
        EXPECT_NE(result.err.find("trusted comment: agent A by " + key), std::string::npos) << result.err;
    }
}

TEST_F(BundleKeys, AFreeTextCommentStatesNothingAndIsAccepted)
{
    // Colons and tabs in it, but no field the launcher knows.
    keys_.sign("vendor", agentA_, "Agent 7.1: built on the release machine\tfor everyone");
    const ProcessResult result = runIn(signed_, url(agentA_, "v1"));
    expectRan(result, "A");
    EXPECT_NE(result.err.find("trusted comment: Agent 7.1: built on the release machine"), std::string::npos);
}

TEST_F(BundleKeys, ASignatureStillOnItsWayIsShownAndSoAreItsRetries)
{
    keys_.sign("vendor", agentA_, "agent A");
    const ProcessResult result = runIn(signed_, url(agentA_, "v1", "&sig_delay=1&sig_status_first=503&key=slow"),
                                       {{launcherenv::kDownloadRetries, "2"}});
    expectRan(result, "A");
    // The status lines in order (the log's own retry line aside): checking,
    // the retry's wait (counted down), checking again, then the unpacking.
    std::vector<std::string> shown;
    for (const std::string& line : splitLines(result.err)) {
        if (line.starts_with("Download interrupted"))
            continue;
        const std::string status = line.find(" retrying ") != std::string::npos ? "retrying" : line;
        if (shown.empty() || shown.back() != status)
            shown.push_back(status);
    }
    const std::string checking = "Checking the download's signature";
    const std::vector<std::string> expected{checking, "retrying", checking, messages::kInitializingInstaller};
    EXPECT_NE(std::search(shown.begin(), shown.end(), expected.begin(), expected.end()), shown.end()) << result.err;
}

} // namespace
