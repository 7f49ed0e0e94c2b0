#pragma once

#include "platform/event_loop.h"

#include <cstdint>
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

class UrlDownload;

// Receives a download's events, always from the event loop and never from
// inside the HTTP library, so a callback may cancel or destroy the download.
class UrlDownloadDelegate {
public:
    virtual ~UrlDownloadDelegate() = default;
    virtual void downloadDidReceiveResponse(UrlDownload& download, const UrlResponse& response) = 0;
    virtual void downloadDidReceiveAuthenticationChallenge(UrlDownload& download) = 0;
    virtual void downloadDidReceiveDataOfLength(UrlDownload& download, std::uint64_t length) = 0;
    virtual void downloadDidFinish(UrlDownload& download) = 0;
    virtual void downloadDidFail(UrlDownload& download, const UrlDownloadError& error) = 0;
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
};

// Starts fetching url on the loop. Null when no download can be made from the
// text (empty or malformed URL, library failure).
std::unique_ptr<UrlDownload> startUrlDownload(EventLoop& loop, const std::string& url, UrlDownloadDelegate& delegate,
                                              const UrlDownloadOptions& options = {});
