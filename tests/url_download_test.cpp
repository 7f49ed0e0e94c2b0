// URL downloads over libcurl against the test HTTP server on 127.0.0.1, on
// the poll(2) event loop: what the delegate hears and in which order, what
// ends up in the file, and what the server had to send.

#include "platform/poll_event_loop.h"
#include "platform/unique_fd.h"
#include "platform/url_download.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/random_bytes.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// A guard against a download that never ends; reaching it fails the test
// through the result, never through a measured time.
constexpr double kGuardSeconds = 60.0;
constexpr int kGuardResult = -999;
constexpr int kEnded = 1;

// How long the loop keeps running after the end, to show that no delegate
// call follows. Missing a late call could only hide a fault, never invent one.
constexpr double kQuietSeconds = 0.3;

enum class Kind { Response, Challenge, ProxyChallenge, Data, Finish, Fail, Retry };

const char* name(Kind kind)
{
    switch (kind) {
    case Kind::Response: return "response";
    case Kind::Challenge: return "challenge";
    case Kind::ProxyChallenge: return "proxy challenge";
    case Kind::Data: return "data";
    case Kind::Finish: return "finish";
    case Kind::Fail: return "fail";
    case Kind::Retry: return "retry";
    }
    return "?";
}

struct Event {
    Kind kind = Kind::Response;
    std::uint64_t length = 0;
    UrlResponse response;
    UrlDownloadError error;
    UrlDownloadRetry retry;
    std::string proxyHost;
    long long fileSize = -1; // of the destination when the event came; -1: no file
    bool fileOpen = false;   // the destination was open in this process then
};

long long sizeOf(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Whether any descriptor of this process refers to the path.
bool isOpenHere(const std::string& path)
{
    struct stat target {};
    if (stat(path.c_str(), &target) != 0)
        return false;
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat info {};
        if (fstat(fd, &info) == 0 && info.st_dev == target.st_dev && info.st_ino == target.st_ino)
            return true;
    }
    return false;
}

// For a query value: everything but letters, digits and "-._~/" escaped.
std::string percentEncoded(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return encoded;
}

// Records every delegate call, with the state of the destination at that
// moment, and stops the loop when the download has ended.
class Recorder : public UrlDownloadDelegate {
public:
    Recorder(EventLoop& loop, std::string destination) : loop_(loop), destination_(std::move(destination)) {}

    std::vector<Event> events;
    // What onBodyBytes saw since the last response (see withRetries).
    std::string observedBody;
    // Runs after each event has been recorded; may cancel or destroy the download.
    std::function<void(UrlDownload&, const Event&)> onEvent;

    void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) override
    {
        observedBody.clear(); // the body starts from zero
        Event event = snapshot(Kind::Response);
        event.response = response;
        record(download, event);
    }
    void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) override
    {
        record(download, snapshot(Kind::Challenge));
        loop_.stop(kEnded);
    }
    void downloadDidReceiveProxyAuthenticationChallenge(UrlDownload& download, const std::string& proxyHost) override
    {
        Event event = snapshot(Kind::ProxyChallenge);
        event.proxyHost = proxyHost;
        record(download, event);
        loop_.stop(kEnded);
    }
    void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) override
    {
        Event event = snapshot(Kind::Data);
        event.length = length;
        record(download, event);
    }
    void downloadDidFinish(UrlDownload& download) override
    {
        record(download, snapshot(Kind::Finish));
        loop_.stop(kEnded);
    }
    void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) override
    {
        Event event = snapshot(Kind::Fail);
        event.error = error;
        record(download, event);
        loop_.stop(kEnded);
    }
    void downloadWillRetry(UrlDownload& download, const UrlDownloadRetry& retry) override
    {
        Event event = snapshot(Kind::Retry);
        event.retry = retry;
        record(download, event);
    }

    std::vector<Kind> kinds() const
    {
        std::vector<Kind> result;
        for (const Event& event : events) {
            if (result.empty() || result.back() != event.kind || event.kind != Kind::Data)
                result.push_back(event.kind);
        }
        return result; // runs of data events folded into one
    }

    std::uint64_t dataTotal() const
    {
        std::uint64_t total = 0;
        for (const Event& event : events)
            total += event.kind == Kind::Data ? event.length : 0;
        return total;
    }

    const Event* first(Kind kind) const
    {
        for (const Event& event : events) {
            if (event.kind == kind)
                return &event;
        }
        return nullptr;
    }

    std::vector<const Event*> all(Kind kind) const
    {
        std::vector<const Event*> found;
        for (const Event& event : events) {
            if (event.kind == kind)
                found.push_back(&event);
        }
        return found;
    }

    std::string describe() const
    {
        std::string text;
        for (const Event& event : events) {
            text += name(event.kind);
            if (event.kind == Kind::Data)
                text += "(" + std::to_string(event.length) + ")";
            if (event.kind == Kind::Fail)
                text += "(" + event.error.localizedDescription + ")";
            if (event.kind == Kind::Retry)
                text += "(" + event.retry.reason + ")";
            text += " ";
        }
        return text;
    }

private:
    Event snapshot(Kind kind) const
    {
        Event event;
        event.kind = kind;
        event.fileSize = sizeOf(destination_);
        event.fileOpen = isOpenHere(destination_);
        return event;
    }

    void record(UrlDownload& download, const Event& event)
    {
        events.push_back(event);
        if (onEvent)
            onEvent(download, events.back());
    }

    EventLoop& loop_;
    std::string destination_;
};

class UrlDownloadTest : public ::testing::Test {
protected:
    UrlDownloadTest() : loop(createPollEventLoop()), destination(scratch / "InstallAgent.zip"), recorder(*loop, destination) {}

    // Starts a download of the server's pathAndQuery into destination
    // (replacing a file there when allowOverwrite says so).
    std::unique_ptr<UrlDownload> start(const std::string& pathAndQuery, UrlDownloadOptions options = {},
                                       bool deletesFileUponFailure = true)
    {
        return startUrl(server.url(pathAndQuery), options, deletesFileUponFailure);
    }

    std::unique_ptr<UrlDownload> startUrl(const std::string& url, UrlDownloadOptions options = {},
                                          bool deletesFileUponFailure = true)
    {
        auto download = startUrlDownload(*loop, url, recorder, options);
        if (download) {
            download->setDeletesFileUponFailure(deletesFileUponFailure);
            download->setDestination(destination, allowOverwrite);
        }
        return download;
    }

    int runUntilEnded()
    {
        const EventLoop::CallId guard = loop->callLater(kGuardSeconds, [this] { loop->stop(kGuardResult); });
        const int result = loop->run();
        loop->cancelCall(guard);
        return result;
    }

    // Options with retries, and onBodyBytes feeding recorder.observedBody.
    UrlDownloadOptions withRetries(int retries)
    {
        UrlDownloadOptions options;
        options.retries = retries;
        options.onBodyBytes = [this](const char* data, std::size_t size) { recorder.observedBody.append(data, size); };
        return options;
    }

    // Runs the loop a little longer; returns how many delegate calls came meanwhile.
    std::size_t eventsWhileQuiet(double seconds = kQuietSeconds)
    {
        const std::size_t before = recorder.events.size();
        loop->callLater(seconds, [this] { loop->stop(0); });
        loop->run();
        return recorder.events.size() - before;
    }

    // A file of random bytes in the scratch directory.
    std::string makeSourceFile(std::size_t size, unsigned seed = 7)
    {
        const std::string path = scratch / ("source-" + std::to_string(size) + ".bin");
        writeFile(path, randomBytes(size, seed));
        return path;
    }

    HttpTestServer server;
    ScratchDir scratch;
    std::unique_ptr<EventLoop> loop;
    std::string destination;
    bool allowOverwrite = true;
    Recorder recorder;
};

// A loopback URL whose port was free a moment ago and has no listener now.
std::string urlNobodyListensOn()
{
    UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!probe || bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free loopback port");
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/agent.zip";
}

std::int64_t totalBytesSent(const std::vector<ServedRequest>& requests)
{
    std::int64_t total = 0;
    for (const ServedRequest& request : requests)
        total += request.bytesSent;
    return total;
}

// The body lands byte for byte; the response comes before any of it, every
// data call reports bytes that are already in the file, and the file is
// complete and closed when the finish is reported.
TEST_F(UrlDownloadTest, DownloadsTheBodyExactlyWithEventsInOrder)
{
    const std::size_t size = 3 * 1024 * 1024 + 123;
    const std::string source = makeSourceFile(size);
    const std::string url = server.url("/agent.zip?file=" + source);
    auto download = startUrl(url);
    ASSERT_TRUE(download);

    ASSERT_EQ(kEnded, runUntilEnded()) << recorder.describe();
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();

    const Event& response = recorder.events.front();
    EXPECT_EQ(200, response.response.statusCode);
    EXPECT_EQ(static_cast<std::int64_t>(size), response.response.expectedContentLength);
    EXPECT_EQ(url, response.response.url);
    EXPECT_EQ(-1, response.fileSize) << "the destination existed before the response was delivered";

    std::uint64_t total = 0;
    for (const Event& event : recorder.events) {
        if (event.kind != Kind::Data)
            continue;
        EXPECT_GT(event.length, 0u);
        total += event.length;
        EXPECT_EQ(static_cast<long long>(total), event.fileSize) << "data reported before it reached the file";
    }
    EXPECT_EQ(size, total);

    const Event& finish = recorder.events.back();
    EXPECT_EQ(static_cast<long long>(size), finish.fileSize);
    EXPECT_FALSE(finish.fileOpen) << "the file was still open when the finish was reported";
    EXPECT_TRUE(readFile(destination) == readFile(source));
    EXPECT_EQ(0u, eventsWhileQuiet());

    // Cancelling a finished download leaves its file alone.
    download->cancel();
    download.reset();
    EXPECT_EQ(static_cast<long long>(size), sizeOf(destination));
}

TEST_F(UrlDownloadTest, ReplacesAnExistingFileOnlyWhenAllowed)
{
    const std::string source = makeSourceFile(5000);
    writeFile(destination, std::string(20000, 'o'));
    {
        auto download = start("/a?file=" + source);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        ASSERT_EQ(Kind::Finish, recorder.events.back().kind) << recorder.describe();
        EXPECT_TRUE(readFile(destination) == readFile(source)) << "the old content was not replaced";
    }

    const std::string old(20000, 'o');
    writeFile(destination, old);
    recorder.events.clear();
    allowOverwrite = false;
    auto download = start("/b?file=" + source);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Fail}), recorder.kinds()) << recorder.describe();
    EXPECT_NE(std::string::npos, recorder.events.back().error.localizedDescription.find(destination));
    // Not this download's file: it is neither overwritten nor deleted.
    EXPECT_EQ(old, readFile(destination));
}

TEST_F(UrlDownloadTest, ResponseCarriesStatusHeadersAndLength)
{
    // Known length, ETag (quotes and all) and a 2xx status other than 200.
    auto download = start("/r?size=777&status=203&etag=%22v1-abc%22");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    const UrlResponse& response = recorder.events.front().response;
    EXPECT_EQ(203, response.statusCode);
    EXPECT_EQ(777, response.expectedContentLength);
    EXPECT_EQ("\"v1-abc\"", response.headerField("ETag"));
    EXPECT_EQ("\"v1-abc\"", response.headerField("etag"));
    EXPECT_TRUE(response.hasHeaderField("ETAG"));
    EXPECT_EQ("application/octet-stream", response.headerField("content-type"));
    EXPECT_FALSE(response.hasHeaderField("X-Not-There"));
    EXPECT_EQ("", response.headerField("X-Not-There"));
    EXPECT_EQ(777, sizeOf(destination));

    // No ETag, no Content-Length: the body ends with the connection.
    const std::string source = makeSourceFile(300000);
    recorder.events.clear();
    download = start("/u?length=0&file=" + source);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(-1, recorder.events.front().response.expectedContentLength);
    EXPECT_FALSE(recorder.events.front().response.hasHeaderField("ETag"));
    EXPECT_EQ(300000u, recorder.dataTotal());
    EXPECT_TRUE(readFile(destination) == readFile(source));
}

TEST_F(UrlDownloadTest, ErrorStatusesAndEmptyBodiesAreResponses)
{
    // The caller decides what a 404 means: it is a response like any other.
    auto download = start("/missing?status=404");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(404, recorder.events.front().response.statusCode);
    EXPECT_NE(std::string::npos, readFile(destination).find("404"));

    // An empty body still gives a file, an empty one.
    recorder.events.clear();
    download = start("/empty?size=0");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(0, recorder.events.front().response.expectedContentLength);
    EXPECT_EQ(0, sizeOf(destination));
}

// The reason the response comes before any body byte: a caller that finds
// the answer useless at that point stops the transfer before the server has
// sent much of the body.
TEST_F(UrlDownloadTest, CancelAtTheResponseStopsTheTransfer)
{
    const long long size = 64LL * 1024 * 1024;
    auto download = start("/big.zip?size=" + std::to_string(size));
    ASSERT_TRUE(download);
    recorder.onEvent = [this](UrlDownload& d, const Event& event) {
        if (event.kind == Kind::Response) {
            d.cancel();
            d.cancel(); // twice: nothing more happens
            loop->stop(kEnded);
        }
    };
    ASSERT_EQ(kEnded, runUntilEnded());
    EXPECT_EQ(0u, eventsWhileQuiet());
    ASSERT_EQ((std::vector<Kind>{Kind::Response}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(size, recorder.events.front().response.expectedContentLength);
    EXPECT_EQ(-1, sizeOf(destination)) << "a file was left behind";

    const std::optional<ServedRequest> request = server.waitForRequest(0);
    ASSERT_TRUE(request) << server.stats();
    EXPECT_TRUE(request->clientClosed) << server.stats();
    // Loopback socket buffers hold a few MiB; the rest must never have been sent.
    EXPECT_LT(request->bytesSent, 16LL * 1024 * 1024) << server.stats();
}

TEST_F(UrlDownloadTest, CancelDuringTheBodyDeletesThePartialFileOnlyWhenAsked)
{
    const std::string source = makeSourceFile(8 * 1024 * 1024);
    for (const bool deletes : {true, false}) {
        SCOPED_TRACE(deletes ? "deleting" : "keeping");
        recorder.events.clear();
        auto download = start("/c?throttle=2000000&file=" + source, {}, deletes);
        ASSERT_TRUE(download);
        recorder.onEvent = [this](UrlDownload& d, const Event& event) {
            if (event.kind == Kind::Data) {
                d.cancel();
                loop->stop(kEnded);
            }
        };
        ASSERT_EQ(kEnded, runUntilEnded());
        EXPECT_EQ(0u, eventsWhileQuiet());
        ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data}), recorder.kinds()) << recorder.describe();
        if (deletes) {
            EXPECT_EQ(-1, sizeOf(destination));
        } else {
            // What was reported is what the file holds, and it is the start of the body.
            const std::string partial = readFile(destination);
            EXPECT_EQ(recorder.dataTotal(), partial.size());
            EXPECT_TRUE(readFile(source).compare(0, partial.size(), partial) == 0);
            removeTree(destination);
        }
        download.reset();
    }
}

TEST_F(UrlDownloadTest, ConnectionDroppedMidBodyFails)
{
    for (const bool deletes : {true, false}) {
        SCOPED_TRACE(deletes ? "deleting" : "keeping");
        recorder.events.clear();
        const std::string url = server.url("/drop?size=1000000&drop_after=100000");
        auto download = startUrl(url, {}, deletes);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Fail}), recorder.kinds()) << recorder.describe();
        const Event& failure = recorder.events.back();
        EXPECT_FALSE(failure.error.localizedDescription.empty());
        EXPECT_EQ(url, failure.error.failingURL);
        EXPECT_FALSE(failure.fileOpen);
        EXPECT_EQ(100000u, recorder.dataTotal());
        if (deletes) {
            EXPECT_EQ(-1, sizeOf(destination)) << "the partial file was left behind";
        } else {
            EXPECT_EQ(100000, sizeOf(destination));
            removeTree(destination);
        }
        EXPECT_EQ(0u, eventsWhileQuiet());
    }
}

TEST_F(UrlDownloadTest, ServerLyingAboutTheLengthFails)
{
    auto download = start("/lie?size=1000&lie=5000");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ(Kind::Fail, recorder.events.back().kind) << recorder.describe();
    EXPECT_EQ(5000, recorder.events.front().response.expectedContentLength);
    EXPECT_EQ(-1, sizeOf(destination));
}

TEST_F(UrlDownloadTest, SilenceLongerThanTheIdleTimeoutFails)
{
    UrlDownloadOptions options;
    options.idleTimeoutSeconds = 1.0;
    struct Case {
        const char* query;
        std::vector<Kind> expected;
    };
    // Silence before the headers, right after them, and in the middle of the body.
    // The server's silences are far longer than the timeout.
    const Case cases[] = {
        {"/s1?size=100000&stall_headers=30", {Kind::Fail}},
        {"/s2?size=100000&stall=30", {Kind::Response, Kind::Fail}},
        {"/s3?size=100000&stall=30&stall_after=50000", {Kind::Response, Kind::Data, Kind::Fail}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        recorder.events.clear();
        auto download = start(c.query, options);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        EXPECT_EQ(c.expected, recorder.kinds()) << recorder.describe();
        EXPECT_FALSE(recorder.events.back().error.localizedDescription.empty());
        EXPECT_EQ(-1, sizeOf(destination));
    }
}

TEST_F(UrlDownloadTest, ASlowButSteadyTransferIsNotCutOff)
{
    // About three seconds of trickling data against a one-second idle
    // timeout: only silence ends a transfer, never its total duration.
    UrlDownloadOptions options;
    options.idleTimeoutSeconds = 1.0;
    auto download = start("/slow?size=30000&throttle=10000", options);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    EXPECT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(30000, sizeOf(destination));
}

TEST_F(UrlDownloadTest, ABodyLongerThanTheLimitFailsAtItsLengthOrWhereItPassesItAndIsNotTriedAgain)
{
    UrlDownloadOptions options = withRetries(2);
    options.bodyLimit = BodyLimit{50000, "the limit", "Too large for us."};
    struct Case {
        std::string query;
        std::string failure;
    };
    for (const Case& c : {Case{"size=100000", "the download is 100000 bytes, more than the limit (50000 bytes)"},
                          Case{"size=100000&length=0", "the download went past the limit (50000 bytes)"}}) {
        SCOPED_TRACE(c.query);
        recorder.events.clear();
        auto download = start("/big?" + c.query, options);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        ASSERT_EQ(recorder.events.back().kind, Kind::Fail) << recorder.describe();
        EXPECT_EQ(recorder.events.back().error.localizedDescription, c.failure);
        EXPECT_EQ(recorder.events.back().error.explanation, "Too large for us.");
        EXPECT_EQ(recorder.first(Kind::Retry), nullptr) << recorder.describe();
        EXPECT_LE(recorder.dataTotal(), 50000u);
        EXPECT_EQ(-1, sizeOf(destination));
    }

    // A limit lowered while the body arrives holds from then on.
    recorder.events.clear();
    auto download = start("/slow?size=100000&throttle=50000");
    recorder.onEvent = [](UrlDownload& d, const Event& event) {
        if (event.kind == Kind::Response)
            d.limitBody(BodyLimit{30000, "the size its signature gives", "Larger than signed."});
    };
    ASSERT_EQ(kEnded, runUntilEnded());
    EXPECT_EQ(recorder.events.back().error.localizedDescription,
              "the download is 100000 bytes, more than the size its signature gives (30000 bytes)")
        << recorder.describe();
    EXPECT_EQ(recorder.events.back().error.explanation, "Larger than signed.");
    EXPECT_EQ(recorder.first(Kind::Finish), nullptr);
}

TEST_F(UrlDownloadTest, ATransferBelowTheMinimumRateIsAStalledAttemptTriedAgainThenAFailure)
{
    // A trickle that never falls silent, at a fifth of a KiB a second.
    UrlDownloadOptions options = withRetries(1);
    options.idleTimeoutSeconds = 2.0;
    auto download = start("/drip?size=100000&throttle=200", options);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    const Event* retry = recorder.first(Kind::Retry);
    ASSERT_NE(retry, nullptr) << recorder.describe();
    EXPECT_EQ(retry->retry.cause, UrlDownloadRetry::Cause::Stalled);
    ASSERT_EQ(recorder.events.back().kind, Kind::Fail) << recorder.describe();
    EXPECT_EQ(recorder.events.back().error.localizedDescription, "Too slow: less than 1024 bytes a second for 2 seconds");
}

TEST_F(UrlDownloadTest, TheResponseComesWithTheHeadersNotWithTheBody)
{
    // The body would come only after ten minutes; the response must not wait for it.
    auto download = start("/headers-only?size=1000&stall=600&etag=%22e%22");
    ASSERT_TRUE(download);
    recorder.onEvent = [this](UrlDownload& d, const Event& event) {
        if (event.kind == Kind::Response) {
            d.cancel();
            loop->stop(kEnded);
        }
    };
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ("\"e\"", recorder.events.front().response.headerField("ETag"));
}

TEST_F(UrlDownloadTest, RefusedConnectionFails)
{
    const std::string url = urlNobodyListensOn();
    auto download = startUrl(url);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Fail}), recorder.kinds()) << recorder.describe();
    EXPECT_FALSE(recorder.events.back().error.localizedDescription.empty());
    EXPECT_EQ(url, recorder.events.back().error.failingURL);
    EXPECT_EQ("No connection to 127.0.0.1", recorder.events.back().error.explanation);
    EXPECT_EQ(-1, sizeOf(destination));
}

// Every wait says what kind of failure it waits out, for the status line;
// the last failure says it in plain words.
TEST_F(UrlDownloadTest, EachRetrySaysWhatFailed)
{
    using Cause = UrlDownloadRetry::Cause;
    UrlDownloadOptions options = withRetries(1);
    options.idleTimeoutSeconds = 1.0;
    struct Case {
        std::string url;
        Cause cause;
        long statusCode;
        std::string finalExplanation; // "": the last answer is delivered as a response
    };
    const Case cases[] = {
        {server.url("/busy?size=10&status=503&retry_after=0"), Cause::ServerBusy, 503, ""},
        {urlNobodyListensOn(), Cause::CannotReach, 0, "No connection to 127.0.0.1"},
        {server.url("/quiet?size=10&stall_headers=30"), Cause::Stalled, 0, "The server has stopped sending data"},
        {server.url("/cut?size=100000&drop_after=1000"), Cause::ConnectionLost, 0,
         "The connection to 127.0.0.1 broke off before the download was complete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        recorder.events.clear();
        auto download = startUrl(c.url, options);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        const Event* retry = recorder.first(Kind::Retry);
        ASSERT_TRUE(retry) << recorder.describe();
        EXPECT_EQ(c.cause, retry->retry.cause) << retry->retry.reason;
        EXPECT_EQ(c.statusCode, retry->retry.statusCode);
        EXPECT_EQ("127.0.0.1", retry->retry.host);
        if (c.finalExplanation.empty()) {
            EXPECT_EQ(c.statusCode, recorder.first(Kind::Response)->response.statusCode) << recorder.describe();
        } else {
            ASSERT_EQ(Kind::Fail, recorder.events.back().kind) << recorder.describe();
            EXPECT_EQ(c.finalExplanation, recorder.events.back().error.explanation);
        }
    }
}

// Through a proxy (the test server acting as one, before hosts that need no
// name lookup): a 407 is the proxy's and says whose, for plain http and for
// a tunnel alike; a proxy that refuses the tunnel is not asked again; the
// credentials of the proxy's URL go out in the scheme the proxy asks for.
TEST_F(UrlDownloadTest, ProxiesAreToldApartFromTheServer)
{
    const std::string proxy = "127.0.0.1:" + std::to_string(server.port());
    ScopedEnv httpProxy("http_proxy", "http://" + proxy);
    ScopedEnv httpsProxy("https_proxy", "http://" + proxy);
    for (const std::string url : {"http://agent.test/a?size=10&proxy_auth=basic", "https://status-407.test/a"}) {
        SCOPED_TRACE(url);
        recorder.events.clear();
        auto download = startUrl(url);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        ASSERT_EQ((std::vector<Kind>{Kind::ProxyChallenge}), recorder.kinds()) << recorder.describe();
        EXPECT_EQ("127.0.0.1", recorder.events.back().proxyHost);
    }

    server.reset();
    recorder.events.clear();
    auto download = startUrl("https://status-403.test/a", withRetries(3));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Fail}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ("The proxy 127.0.0.1 refused the connection (403)", recorder.events.back().error.explanation);
    EXPECT_EQ(1u, server.requests().size()) << server.stats();

    ScopedEnv withCredentials("http_proxy", "http://someone:secret@" + proxy);
    server.reset();
    recorder.events.clear();
    download = startUrl("http://agent.test/a?size=1000&proxy_auth=digest");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(1000, sizeOf(destination));
    EXPECT_EQ(0u, server.requests().back().proxyAuthorization.rfind("Digest username=\"someone\"", 0)) << server.stats();
}

TEST_F(UrlDownloadTest, OnlyHttpAndHttpsUrlsGiveADownload)
{
    struct Case {
        const char* text;
        const char* whyNot;
    };
    const Case cases[] = {
        {"", "empty URL"},
        {"not a url", "malformed URL"},
        {"agent.zip", "malformed URL"},
        {"/tmp/agent.zip", "malformed URL"},
        {"http://exa mple.com/a.zip", "malformed URL"},
        {"http://", "malformed URL"},
        {"http://[::1/a.zip", "malformed URL"},
        {"file:///etc/passwd", "unsupported URL scheme"},
        {"ftp://127.0.0.1/a.zip", "unsupported URL scheme"},
        {"nosuchscheme://example.com/a.zip", "unsupported URL scheme"},
    };
    for (const Case& c : cases) {
        std::string whyNot;
        EXPECT_FALSE(startUrlDownload(*loop, c.text, recorder, {}, &whyNot)) << '"' << c.text << '"';
        EXPECT_EQ(0u, whyNot.rfind(c.whyNot, 0)) << '"' << c.text << "\": " << whyNot;
    }
    // Well-formed URLs of both schemes do give one (they are never started here).
    EXPECT_TRUE(startUrlDownload(*loop, "http://127.0.0.1:9/a.zip", recorder));
    EXPECT_TRUE(startUrlDownload(*loop, "HTTPS://127.0.0.1:9/a.zip", recorder));
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(UrlDownloadTest, AuthenticationChallengeIsDeliveredInsteadOfAResponse)
{
    auto download = start("/private?auth=1");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    EXPECT_EQ(0u, eventsWhileQuiet());
    ASSERT_EQ((std::vector<Kind>{Kind::Challenge}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(-1, sizeOf(destination));
    download->cancel();
}

TEST_F(UrlDownloadTest, RedirectsAreFollowed)
{
    const std::string source = makeSourceFile(200000);
    const std::string finalPathAndQuery = "/final.zip?etag=%22final%22&file=" + source;
    // Two hops; the redirects' own bodies and lengths must not show.
    auto download = start("/first?redirect=" + percentEncoded("/second?redirect=" + percentEncoded(finalPathAndQuery)));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    const UrlResponse& response = recorder.events.front().response;
    EXPECT_EQ(200, response.statusCode);
    EXPECT_EQ(server.url(finalPathAndQuery), response.url);
    EXPECT_EQ("\"final\"", response.headerField("ETag"));
    EXPECT_FALSE(response.hasHeaderField("Location"));
    EXPECT_EQ(200000, response.expectedContentLength);
    EXPECT_TRUE(readFile(destination) == readFile(source));

    // A redirect to an answer of unknown length: the redirect's own length must not stick.
    recorder.events.clear();
    download = start("/hop?redirect=" + percentEncoded("/end?length=0&size=5000"));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(-1, recorder.events.front().response.expectedContentLength);
    EXPECT_EQ(5000, sizeOf(destination));
}

TEST_F(UrlDownloadTest, UnwritableDestinationFailsWithAClearDescription)
{
    // A directory that does not exist: the file cannot be created.
    destination = scratch / "no-such-dir/InstallAgent.zip";
    auto download = start("/a?size=1000");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Fail}), recorder.kinds()) << recorder.describe();
    std::string description = recorder.events.back().error.localizedDescription;
    EXPECT_NE(std::string::npos, description.find(destination)) << description;
    EXPECT_NE(std::string::npos, description.find(std::strerror(ENOENT))) << description;

    // A full disk: writes fail. The destination is a link to /dev/full; the
    // failure may remove the link but never the device.
    const std::string link = scratch / "full.zip";
    ASSERT_EQ(0, symlink("/dev/full", link.c_str()));
    recorder.events.clear();
    destination = link;
    download = start("/b?size=100000");
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Fail}), recorder.kinds()) << recorder.describe();
    description = recorder.events.back().error.localizedDescription;
    EXPECT_NE(std::string::npos, description.find(link)) << description;
    EXPECT_NE(std::string::npos, description.find(std::strerror(ENOSPC))) << description;
    struct stat device {};
    EXPECT_EQ(0, stat("/dev/full", &device));
    EXPECT_TRUE(S_ISCHR(device.st_mode));
}

TEST_F(UrlDownloadTest, WithoutADestinationTheDownloadFails)
{
    auto download = startUrlDownload(*loop, server.url("/a?size=10"), recorder);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Fail}), recorder.kinds()) << recorder.describe();
    EXPECT_FALSE(recorder.events.back().error.localizedDescription.empty());
}

// Destroying the download from inside each kind of delegate call must be
// safe (AddressSanitizer checks the memory side) and must end its calls.
TEST_F(UrlDownloadTest, DestroyingTheDownloadInsideADelegateCallIsSafe)
{
    const std::string source = makeSourceFile(2 * 1024 * 1024);
    struct Case {
        std::string query;
        Kind destroyAt;
    };
    const Case cases[] = {
        {"/d1?file=" + source, Kind::Response},
        {"/d2?file=" + source, Kind::Data},
        {"/d3?file=" + source, Kind::Finish},
        {"/d4?size=1000000&drop_after=10000", Kind::Fail},
        {"/d5?auth=1", Kind::Challenge},
        {"/d6?size=1000000&drop_after=10000&etag=%22e%22&drop_first=1&key=d6", Kind::Retry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(name(c.destroyAt));
        recorder.events.clear();
        UrlDownloadOptions options;
        options.retries = c.destroyAt == Kind::Retry ? 1 : 0;
        std::unique_ptr<UrlDownload> download = start(c.query, options);
        ASSERT_TRUE(download);
        recorder.onEvent = [&](UrlDownload&, const Event& event) {
            if (event.kind == c.destroyAt) {
                download.reset();
                loop->stop(kEnded);
            }
        };
        ASSERT_EQ(kEnded, runUntilEnded());
        EXPECT_FALSE(download);
        EXPECT_EQ(0u, eventsWhileQuiet());
        EXPECT_EQ(c.destroyAt, recorder.events.back().kind) << recorder.describe();
        if (c.destroyAt == Kind::Finish)
            EXPECT_TRUE(readFile(destination) == readFile(source));
        else
            EXPECT_EQ(-1, sizeOf(destination)) << "destroying a running download leaves no partial file";
        removeTree(destination);
        recorder.onEvent = nullptr;
    }
}

TEST_F(UrlDownloadTest, DownloadsOnOneLoopRunSideBySide)
{
    const std::string first = makeSourceFile(1500000, 1);
    const std::string second = makeSourceFile(900000, 2);
    const std::string secondDestination = scratch / "second.zip";
    Recorder other(*loop, secondDestination);
    int ended = 0;
    const auto countEnd = [&](UrlDownload&, const Event& event) {
        if (event.kind == Kind::Finish || event.kind == Kind::Fail)
            ++ended;
    };
    recorder.onEvent = countEnd;
    other.onEvent = countEnd;

    auto one = start("/one?throttle=3000000&file=" + first);
    auto two = startUrlDownload(*loop, server.url("/two?throttle=3000000&file=" + second), other);
    ASSERT_TRUE(one);
    ASSERT_TRUE(two);
    two->setDestination(secondDestination, true);
    while (ended < 2)
        ASSERT_EQ(kEnded, runUntilEnded());

    EXPECT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), other.kinds()) << other.describe();
    EXPECT_TRUE(readFile(destination) == readFile(first));
    EXPECT_TRUE(readFile(secondDestination) == readFile(second));
}

// A connection that drops mid-body costs a wait, not the bytes already
// received: the next attempt asks for the rest (Range, and If-Range with the
// validator of the response), and the caller sees one response and one body.
// A weak ETag cannot vouch for the bytes; a Last-Modified can.
TEST_F(UrlDownloadTest, ADroppedBodyIsResumedWhereItStopped)
{
    const std::size_t size = 1000000;
    const std::string source = makeSourceFile(size);
    const std::string date = "Tue, 01 Jul 2025 10:00:00 GMT";
    struct Case {
        std::string validators;
        std::string ifRange;
        int drops;
    };
    const Case cases[] = {
        {"etag=%22v1%22", "\"v1\"", 2},
        {"etag=W/%22weak%22&last_modified=" + percentEncoded(date), date, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.validators);
        server.reset();
        recorder.events.clear();
        auto download = start("/agent.zip?file=" + source + "&" + c.validators
                                  + "&drop_after=300000&key=resume&drop_first=" + std::to_string(c.drops),
                              withRetries(3));
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());

        std::vector<Kind> expected{Kind::Response, Kind::Data};
        for (int drop = 0; drop < c.drops; ++drop) {
            expected.push_back(Kind::Retry);
            expected.push_back(Kind::Data);
        }
        expected.push_back(Kind::Finish);
        ASSERT_EQ(expected, recorder.kinds()) << recorder.describe();
        EXPECT_EQ(static_cast<std::int64_t>(size), recorder.first(Kind::Response)->response.expectedContentLength);
        const std::vector<const Event*> retries = recorder.all(Kind::Retry);
        for (std::size_t i = 0; i < retries.size(); ++i) {
            EXPECT_FALSE(retries[i]->retry.reason.empty());
            EXPECT_GT(retries[i]->retry.delaySeconds, 0);
            EXPECT_EQ(static_cast<int>(i) + 2, retries[i]->retry.nextAttempt);
            EXPECT_EQ(4, retries[i]->retry.attempts);
            EXPECT_EQ(UrlDownloadRetry::Cause::ConnectionLost, retries[i]->retry.cause);
            EXPECT_EQ(static_cast<long long>(300000 * (i + 1)), retries[i]->fileSize) << "the received bytes were kept";
        }
        EXPECT_EQ(size, recorder.dataTotal());
        EXPECT_TRUE(readFile(destination) == readFile(source));
        EXPECT_TRUE(recorder.observedBody == readFile(source)) << "onBodyBytes did not see the body in order";

        ASSERT_TRUE(server.waitForRequest(c.drops)) << server.stats();
        const std::vector<ServedRequest> requests = server.requests();
        ASSERT_EQ(static_cast<std::size_t>(c.drops + 1), requests.size()) << server.stats();
        EXPECT_EQ("", requests[0].range);
        for (int i = 1; i <= c.drops; ++i) {
            EXPECT_EQ("bytes=" + std::to_string(300000 * i) + "-", requests[i].range) << server.stats();
            EXPECT_EQ(c.ifRange, requests[i].ifRange);
            EXPECT_EQ(206, requests[i].status);
        }
        // About one archive's worth in all, not one per attempt.
        EXPECT_LE(totalBytesSent(requests), static_cast<std::int64_t>(size + size / 20)) << server.stats();
    }
}

// When the rest cannot be had (the server ignores the range, or the file
// changed meanwhile and has another ETag, weak or strong), the body starts
// again from zero: the file is emptied, the response is delivered again, and
// nothing of the first body is left.
TEST_F(UrlDownloadTest, ABodyThatCannotBeResumedStartsAgainFromZero)
{
    const std::size_t size = 600000;
    const std::string source = makeSourceFile(size);
    const std::string date = percentEncoded("Tue, 01 Jul 2025 10:00:00 GMT");
    struct Case {
        std::string query;
        std::string finalETag;
        std::vector<long> laterStatuses; // of the requests after the first
    };
    const Case cases[] = {
        {"no_ranges=1&etag=%22v1%22", "\"v1\"", {200}},
        {"etag_first=%22old%22&etag=%22new%22", "\"new\"", {200}},
        // Republished within the second: the date still matches the If-Range,
        // and the server sends a part of the new version.
        {"etag_first=W/%22old%22&etag=W/%22new%22&last_modified=" + date, "W/\"new\"", {206, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        server.reset();
        recorder.events.clear();
        auto download = start("/agent.zip?file=" + source + "&" + c.query + "&drop_after=200000&drop_first=1&key=again",
                              withRetries(2));
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Retry, Kind::Response, Kind::Data, Kind::Finish}),
                  recorder.kinds())
            << recorder.describe();
        const Event& again = *recorder.all(Kind::Response).back();
        EXPECT_EQ(200, again.response.statusCode);
        EXPECT_EQ(c.finalETag, again.response.headerField("ETag"));
        EXPECT_EQ(static_cast<std::int64_t>(size), again.response.expectedContentLength);
        EXPECT_EQ(0, again.fileSize) << "the first body was still in the file when the new response came";
        std::uint64_t afterAgain = 0;
        for (const Event* event = &again; event <= &recorder.events.back(); ++event)
            afterAgain += event->kind == Kind::Data ? event->length : 0;
        EXPECT_EQ(size, afterAgain);
        EXPECT_TRUE(readFile(destination) == readFile(source));
        EXPECT_TRUE(recorder.observedBody == readFile(source));

        ASSERT_TRUE(server.waitForRequest(c.laterStatuses.size())) << server.stats();
        const std::vector<ServedRequest> requests = server.requests();
        ASSERT_EQ(1 + c.laterStatuses.size(), requests.size()) << server.stats();
        EXPECT_EQ("bytes=200000-", requests[1].range);
        for (std::size_t i = 0; i < c.laterStatuses.size(); ++i)
            EXPECT_EQ(c.laterStatuses[i], requests[1 + i].status) << server.stats();
    }
}

// A part that ends with its connection, before the length the first answer
// announced, is an interrupted attempt like any other: the next one asks for
// the rest.
TEST_F(UrlDownloadTest, AResumedBodyCutShortIsResumedAgain)
{
    const std::size_t size = 1000000;
    const std::string source = makeSourceFile(size);
    auto download = start("/agent.zip?file=" + source + "&etag=%22v1%22&unframed_206=1&drop_after=300000"
                              "&drop_first=2&key=short",
                          withRetries(3));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Retry, Kind::Data, Kind::Retry, Kind::Data,
                                 Kind::Finish}),
              recorder.kinds())
        << recorder.describe();
    const UrlDownloadRetry& cutShort = recorder.all(Kind::Retry).back()->retry;
    EXPECT_EQ(UrlDownloadRetry::Cause::ConnectionLost, cutShort.cause);
    EXPECT_NE(std::string::npos, cutShort.reason.find("600000 of 1000000")) << cutShort.reason;
    EXPECT_TRUE(readFile(destination) == readFile(source));
    ASSERT_TRUE(server.waitForRequest(2)) << server.stats();
    EXPECT_EQ("bytes=600000-", server.requests()[2].range);
}

// A check on how a body starts sees its first bytes before the file or
// onBodyBytes does, once per body (a resumed part is not judged again); a
// body shorter than it looks at is judged at its end. A refusal ends the
// download at once, in the check's words, and leaves nothing.
TEST_F(UrlDownloadTest, ABodyStartCheckJudgesTheStartBeforeAnyoneElseSeesIt)
{
    std::vector<std::string> judged;
    UrlDownloadOptions options = withRetries(2);
    options.bodyStartCheck.length = 8;
    options.bodyStartCheck.judge = [&judged](std::string_view start,
                                             const UrlResponse& response) -> std::optional<UrlDownloadError> {
        judged.emplace_back(start);
        if (!start.starts_with("<"))
            return std::nullopt;
        return UrlDownloadError{"refused " + response.headerField("Content-Type"), "", "in plain words"};
    };
    const std::string source = makeSourceFile(1000000);
    const std::string tiny = scratch / "tiny.html";
    writeFile(tiny, "<p>");
    struct Case {
        std::string query;
        std::string judgedStart;
        bool refused;
    };
    const Case cases[] = {
        {"/a?file=" + source + "&etag=%22v%22&drop_after=300000&drop_first=1&key=judged", readFile(source).substr(0, 8),
         false},
        {"/page?status=200", "<html><b", true},
        {"/tiny?file=" + tiny + "&content_type=text/html", "<p>", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        server.reset();
        recorder.events.clear();
        judged.clear();
        auto download = start(c.query, options);
        ASSERT_TRUE(download);
        ASSERT_EQ(kEnded, runUntilEnded());
        EXPECT_EQ(std::vector<std::string>{c.judgedStart}, judged);
        if (!c.refused) {
            EXPECT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Retry, Kind::Data, Kind::Finish}),
                      recorder.kinds())
                << recorder.describe();
            EXPECT_TRUE(readFile(destination) == readFile(source));
            EXPECT_TRUE(recorder.observedBody == readFile(source));
            continue;
        }
        ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Fail}), recorder.kinds()) << recorder.describe();
        EXPECT_EQ("refused text/html", recorder.events.back().error.localizedDescription);
        EXPECT_EQ("in plain words", recorder.events.back().error.explanation);
        EXPECT_EQ(server.url(c.query), recorder.events.back().error.failingURL);
        EXPECT_EQ("", recorder.observedBody);
        EXPECT_EQ(-1, sizeOf(destination));
        EXPECT_EQ(1u, server.requests().size()) << "a refused body was tried again";
    }
}

// "Not now" is not delivered: the download waits as long as the server asks
// and tries again. When the tries run out, the last answer is delivered like
// any other.
TEST_F(UrlDownloadTest, ServiceUnavailableIsTriedAgainAfterTheServersWait)
{
    auto download = start("/a?size=5000&status_first=503&retry_after=1&key=busy", withRetries(2));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Retry, Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds())
        << recorder.describe();
    const UrlDownloadRetry& retry = recorder.first(Kind::Retry)->retry;
    EXPECT_EQ(1.0, retry.delaySeconds);
    EXPECT_NE(std::string::npos, retry.reason.find("503")) << retry.reason;
    EXPECT_EQ(2, retry.nextAttempt);
    EXPECT_EQ(3, retry.attempts);
    EXPECT_EQ(200, recorder.first(Kind::Response)->response.statusCode);
    EXPECT_EQ(5000, sizeOf(destination));
    ASSERT_TRUE(server.waitForRequest(1));
    EXPECT_EQ(503, server.requests()[0].status);

    server.reset();
    recorder.events.clear();
    download = start("/a?size=5000&status_first=503&status_times=9&retry_after=0&key=busy", withRetries(1));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Retry, Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds())
        << recorder.describe();
    EXPECT_EQ(503, recorder.first(Kind::Response)->response.statusCode);
}

TEST_F(UrlDownloadTest, PermanentFailuresAreNotTriedAgain)
{
    // Another 4xx is an answer, delivered once.
    auto download = start("/missing?status=404&retry_after=0", withRetries(3));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(404, recorder.first(Kind::Response)->response.statusCode);
    EXPECT_EQ(1u, server.requests().size()) << server.stats();

    // A full disk stays full.
    destination = scratch / "full.zip";
    ASSERT_EQ(0, symlink("/dev/full", destination.c_str()));
    server.reset();
    recorder.events.clear();
    download = start("/full?size=100000&etag=%22f%22", withRetries(3));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Fail}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(1u, server.requests().size()) << server.stats();
}

TEST_F(UrlDownloadTest, AMatchingIfNoneMatchGetsANotModifiedThatWritesNothing)
{
    writeFile(destination, "the archive from before");
    UrlDownloadOptions options;
    options.ifNoneMatch = "\"v1\"";
    auto download = start("/a?size=1000&etag=%22v1%22", options);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(304, recorder.first(Kind::Response)->response.statusCode);
    EXPECT_EQ("\"v1\"", recorder.first(Kind::Response)->response.headerField("ETag"));
    EXPECT_EQ("the archive from before", readFile(destination));

    // Another ETag on the server: the whole answer.
    recorder.events.clear();
    download = start("/a?size=1000&etag=%22v2%22", options);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(200, recorder.first(Kind::Response)->response.statusCode);
    EXPECT_EQ(1000, sizeOf(destination));
}

TEST_F(UrlDownloadTest, HttpsIsVerifiedAndNeverLeftForPlainHttp)
{
    const TestCertificate certificate = makeTestCertificate(scratch.makeDir("tls"));
    HttpTestServer tls(certificate);
    const std::string source = makeSourceFile(300000);
    UrlDownloadOptions trusting = withRetries(2);
    trusting.caBundlePath = certificate.certificate;

    auto download = startUrl(tls.httpsUrl("/a?etag=%22t%22&file=" + source), trusting);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_TRUE(readFile(destination) == readFile(source));
    ASSERT_TRUE(tls.waitForRequest(0));
    EXPECT_TRUE(tls.requests()[0].tls);

    // The system's authorities do not know the test certificate: a failure, final at once.
    recorder.events.clear();
    download = startUrl(tls.httpsUrl("/b?size=10"), withRetries(2));
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Fail}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(0u, recorder.events.back().error.explanation.rfind("The certificate of 127.0.0.1 cannot be verified", 0))
        << recorder.events.back().error.explanation;

    // A redirect to plain http is refused before anything is asked there.
    removeTree(destination);
    tls.reset();
    recorder.events.clear();
    download = startUrl(tls.httpsUrl("/c?redirect=" + percentEncoded(tls.url("/plain?size=10"))), trusting);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Fail}), recorder.kinds()) << recorder.describe();
    const std::string description = recorder.events.back().error.localizedDescription;
    EXPECT_EQ(0u, description.rfind("refused redirect from https to http", 0)) << description;
    ASSERT_TRUE(tls.waitForRequest(0));
    EXPECT_EQ(1u, tls.requests().size()) << tls.stats();
    EXPECT_EQ(-1, sizeOf(destination));

    // A relative location keeps the scheme.
    recorder.events.clear();
    download = startUrl(tls.httpsUrl("/d?redirect=" + percentEncoded("/e?size=10")), trusting);
    ASSERT_TRUE(download);
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Finish}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(0u, recorder.first(Kind::Response)->response.url.rfind("https://", 0));
}

TEST_F(UrlDownloadTest, CancelDuringTheWaitEndsTheDownload)
{
    auto download = start("/a?size=1000000&etag=%22v%22&drop_after=100000&drop_first=1&key=wait", withRetries(3));
    ASSERT_TRUE(download);
    recorder.onEvent = [this](UrlDownload& d, const Event& event) {
        if (event.kind == Kind::Retry) {
            loop->callLater(0.1, [this, &d] {
                d.cancel();
                loop->stop(kEnded);
            });
        }
    };
    ASSERT_EQ(kEnded, runUntilEnded());
    ASSERT_EQ((std::vector<Kind>{Kind::Response, Kind::Data, Kind::Retry}), recorder.kinds()) << recorder.describe();
    EXPECT_EQ(-1, sizeOf(destination)) << "the partial file was left behind";
    // Longer than the first wait can be: no attempt follows.
    EXPECT_EQ(0u, eventsWhileQuiet(2.0));
    EXPECT_EQ(1u, server.requests().size()) << server.stats();
}

} // namespace
