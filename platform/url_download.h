#pragma once

#include "platform/body_limit.h"
#include "platform/event_loop.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct UrlResponse {
    long statusCode = 0;                          // 0 when the scheme has none
    std::map<std::string, std::string> headerFields; // names as the server sent them
    std::int64_t expectedContentLength = -1;      // -1 when unknown
    std::string url;                               // after redirects

    // The value of a header field, names compared without regard to case; "" when absent.
    std::string headerField(const std::string& name) const;
    bool hasHeaderField(const std::string& name) const;
};

struct UrlDownloadError {
    std::string localizedDescription;
    std::string failingURL;
    // The same in plain words for the person in front of the window, with
    // what to do where there is something ("No connection to
    // downloads.example.com"); empty when there are none better than the
    // description.
    std::string explanation = {};
};

// A transfer that failed for a reason that may pass, and will be tried again.
struct UrlDownloadRetry {
    // What kind of failure it was, for telling a person.
    enum class Cause {
        ConnectionLost, // the connection broke, or the body ended early
        ServerBusy,     // the server answered "not now" (statusCode: 503, 429 ...)
        CannotReach,    // the host's name cannot be looked up, or it cannot be connected to (host)
        Stalled,        // no data, or too little, for too long
    };

    std::string reason;       // why the attempt failed, one line
    double delaySeconds = 0;  // the wait before the next attempt
    int nextAttempt = 0;      // 2 for the first retry
    int attempts = 0;         // at most this many attempts in all
    Cause cause = Cause::ConnectionLost;
    long statusCode = 0;      // ServerBusy: the HTTP status
    std::string host = {};    // the host of the URL tried
};

class UrlDownload;

// Receives a download's events, always from the event loop and never from
// inside the HTTP library, so a callback may cancel or destroy the download.
//
// A download may take several attempts (see UrlDownloadOptions::retries).
// downloadWillRetry announces each wait between two, before it begins; the
// download stays cancellable during the wait. An answer that is tried again
// (a 503, say) is not delivered. An attempt that resumes the body where the
// last one stopped delivers no new response: its bytes simply follow, and the
// expected length delivered before stays that of the whole body. An attempt
// whose body starts from zero again delivers its response once more (the file
// has been emptied by then), and the lengths after it count from zero. The
// file never holds bytes of two different bodies.
class UrlDownloadDelegate {
public:
    virtual ~UrlDownloadDelegate() = default;
    virtual void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) = 0;
    virtual void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) = 0;
    // The proxy in the way wants credentials (a 407): one that the proxy's URL
    // did not give, or did not give right. A delegate that does not tell the
    // two apart hears of an authentication challenge.
    virtual void downloadDidReceiveProxyAuthenticationChallenge(UrlDownload& download, const std::string& /*proxyHost*/)
    {
        downloadDidReceiveAuthenticationChallenge(download);
    }
    virtual void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) = 0;
    virtual void downloadDidFinish(UrlDownload& download) = 0;
    virtual void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) = 0;
    virtual void downloadWillRetry(UrlDownload& /*download*/, const UrlDownloadRetry& /*retry*/) {}
};

// A URL fetched into a file. The response is delivered before any byte of
// the body reaches the file; cancel() during that callback leaves no body
// written. A 304 (Not Modified) is delivered as a response like any other,
// but writes nothing: the destination is neither created nor truncated.
// Redirects are followed, but once on https never to another scheme (the
// transfer fails); certificates are verified; proxies come from the
// environment (http_proxy, https_proxy, no_proxy), with credentials from the
// proxy's URL in whatever scheme the proxy asks for.
class UrlDownload {
public:
    virtual ~UrlDownload() = default;
    // Write the body to exactly this path, replacing an existing file when allowed.
    virtual void setDestination(const std::string& path, bool allowOverwrite) = 0;
    // Delete the partial file when the download fails or is cancelled.
    virtual void setDeletesFileUponFailure(bool deletes) = 0;
    // Abandons the transfer; no delegate call follows. Safe to call twice.
    virtual void cancel() = 0;
    // From now on the body may be at most that long (see
    // UrlDownloadOptions::maxBodyBytes). A body already longer, or announced
    // longer, fails on a later turn of the loop.
    virtual void limitBody(const BodyLimit& limit) = 0;
};

// A rule for how a body starts, checked before any byte of it reaches the
// file or onBodyBytes: its first `length` bytes, or all of it when it is
// shorter (judged at its end). The rule sees the response the body belongs to.
struct BodyStartCheck {
    std::size_t length = 0;
    // Nothing when the body may go on; otherwise the failure (description and
    // explanation) that ends the download at once, without another attempt.
    std::function<std::optional<UrlDownloadError>(std::string_view start, const UrlResponse& response)> judge;
};

struct UrlDownloadOptions {
    // A transfer that gets no byte for this long fails; so does a connection
    // that cannot be made in this time, and one that stays below 1 KiB/s
    // this long (a stalled attempt, tried again as the silence is).
    double idleTimeoutSeconds = 60.0;
    // Further attempts after a failure that may pass (a refused, reset or
    // dropped connection, an incomplete body, the idle time-out, a failed name
    // resolution, HTTP 408, 429, 500, 502, 503, 504), after a wait of about 1,
    // 2, 4, 8, 8 ... s, or what the server's Retry-After asks on 429 and 503
    // (at most 30 s). A body with a strong ETag or a Last-Modified is resumed
    // with a range request; it is complete only at the length it was announced
    // with. Other failures (another 4xx, which is a response, a proxy that
    // refuses the tunnel, a write error, a refused redirect) end the download
    // at once. Each wait also goes to the system log with its reason. 0: the
    // first failure is final.
    int retries = 0;
    // Sent as If-None-Match when not empty, until a response has been delivered.
    std::string ifNoneMatch;
    // The longest body taken (maxBytes 0: no limit). A longer Content-Length
    // ends the download at the response, a body without one when it passes
    // the limit; the failure names the limit ("... more than this launcher's
    // limit (2147483648 bytes)"), carries its explanation, and is not tried again.
    BodyLimit bodyLimit;
    // A file of CA certificates trusted instead of the system's; empty: the system's.
    std::string caBundlePath;
    // Sees every body byte as it goes into the file, in order, from inside
    // the transfer: it must not touch the download. A response delivered
    // again means that the body starts again from zero.
    std::function<void(const char* data, std::size_t size)> onBodyBytes;
    // None when its judge is empty.
    BodyStartCheck bodyStartCheck;
    // Who asks, sent as the User-Agent ahead of libcurl's name and version:
    // "launcher/7 (linux)" goes out as "launcher/7 (linux) libcurl/7.88.1".
    std::string userAgent = "launcher";
};

// Starts fetching url on the loop. Only http and https URLs are fetched. Null
// when no download can be made from the text; whyNot, when given, then says
// why in one line: "empty URL", "malformed URL (...)", "unsupported URL
// scheme" (file:, ftp: ...), or a failure of the HTTP library.
std::unique_ptr<UrlDownload> startUrlDownload(EventLoop& loop, const std::string& url, UrlDownloadDelegate& delegate,
                                              const UrlDownloadOptions& options = {}, std::string* whyNot = nullptr);
