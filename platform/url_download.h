#pragma once

#include "platform/event_loop.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

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
};

// A transfer that failed for a reason that may pass, and will be tried again.
struct UrlDownloadRetry {
    std::string reason;       // why the attempt failed, one line
    double delaySeconds = 0;  // the wait before the next attempt
    int nextAttempt = 0;      // 2 for the first retry
    int attempts = 0;         // at most this many attempts in all
};

class UrlDownload;

// Receives a download's events, always from the event loop and never from
// inside the HTTP library, so a callback may cancel or destroy the download.
//
// A download may take several attempts (see UrlDownloadOptions::retries).
// downloadWillRetry announces each wait between two. An attempt that resumes
// the body where the last one stopped delivers no new response: its bytes
// simply follow. An attempt whose body starts from zero again delivers its
// response once more, and the lengths after it count from zero.
class UrlDownloadDelegate {
public:
    virtual ~UrlDownloadDelegate() = default;
    virtual void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) = 0;
    virtual void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) = 0;
    virtual void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) = 0;
    virtual void downloadDidFinish(UrlDownload& download) = 0;
    virtual void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) = 0;
    virtual void downloadWillRetry(UrlDownload& /*download*/, const UrlDownloadRetry& /*retry*/) {}
};

// A URL fetched into a file. The response is delivered before any byte of
// the body reaches the file; cancel() during that callback leaves no body
// written. Redirects are followed; proxies and TLS come from the environment.
class UrlDownload {
public:
    virtual ~UrlDownload() = default;
    // Write the body to exactly this path, replacing an existing file when allowed.
    virtual void setDestination(const std::string& path, bool allowOverwrite) = 0;
    // Delete the partial file when the download fails or is cancelled.
    virtual void setDeletesFileUponFailure(bool deletes) = 0;
    // Abandons the transfer; no delegate call follows. Safe to call twice.
    virtual void cancel() = 0;
};

struct UrlDownloadOptions {
    // A transfer that gets no byte for this long fails; so does a connection
    // that cannot be made in this time.
    double idleTimeoutSeconds = 60.0;
    // Further attempts after a failure that may pass (a dropped or refused
    // connection, a stall, HTTP 408, 429, 500, 502, 503, 504), with a growing
    // wait between them; 0: the first failure is final.
    int retries = 0;
    // Sent as If-None-Match when not empty.
    std::string ifNoneMatch;
    // A file of CA certificates trusted instead of the system's; empty: the system's.
    std::string caBundlePath;
    // Sees every body byte as it goes into the file, in order, from inside
    // the transfer: it must not touch the download. A response delivered
    // again means that the body starts again from zero.
    std::function<void(const char* data, std::size_t size)> onBodyBytes;
};

// Starts fetching url on the loop. Only http and https URLs are fetched, and
// a redirect never leads from https to anything else. Null when no download
// can be made from the text (empty, malformed or of another scheme, library
// failure); whyNot, when given, then says why in one line.
std::unique_ptr<UrlDownload> startUrlDownload(EventLoop& loop, const std::string& url, UrlDownloadDelegate& delegate,
                                              const UrlDownloadOptions& options = {}, std::string* whyNot = nullptr);
