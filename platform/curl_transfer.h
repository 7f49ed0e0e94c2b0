#pragma once

// One attempt of a URL download: a transfer with curl handles of its own on
// libcurl's multi interface, driven by the caller's event loop through curl's
// socket and timer callbacks.
//
// The rule that shapes it: curl's callbacks only record what happened (the
// head, the end; the body goes to the client's sink). Everything else,
// calling curl again or telling anyone, happens after curl_multi_socket_action
// has returned, in the client's transferMayHaveNews(). That way the client
// may destroy the transfer from there without pulling the ground from under
// curl.

#include "platform/event_loop.h"
#include "platform/http_response_head.h"
#include "platform/transfer_failure.h"
#include "platform/url_download.h"

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

struct CurlTransferRequest {
    std::string url;
    std::string ifNoneMatch;      // sent as If-None-Match when not empty
    std::uint64_t resumeFrom = 0; // asks for the body from here on (0: all of it)
    std::string resumeValidator;  // the If-Range of such a request
    std::string caBundlePath;     // CA certificates instead of the system's; "": the system's
    double idleSeconds = 60.0;    // silence (or less than 1 KiB/s) that ends the transfer, also while connecting
    std::string userAgent = "launcher"; // libcurl's name and version follow it
};

class CurlTransferClient {
public:
    virtual ~CurlTransferClient() = default;
    // From inside curl, once the body has been accepted: its next bytes.
    // False, with a one-line reason, ends the transfer (a write error).
    virtual bool transferReceivedBody(const char* data, std::size_t size, std::string& whyNot) = 0;
    // From the loop, after curl has been driven or the transfer fell silent:
    // the answer may be ready, bytes may have come, the transfer may have
    // ended. The client may destroy the transfer from here.
    virtual void transferMayHaveNews() = 0;
};

class CurlTransfer {
public:
    // Whether curl is ready and the text is a URL a transfer fetches:
    // absolute, well formed, http or https; nothing is guessed or completed.
    // Otherwise whyNot says why in one line: "the HTTP library cannot be
    // initialised", "empty URL", "malformed URL (...)", "unsupported URL scheme".
    static bool canFetch(const std::string& url, std::string& whyNot);
    // Sets the transfer up; it begins on a turn of the loop. Null when curl
    // cannot make or configure its handles.
    static std::unique_ptr<CurlTransfer> start(EventLoop& loop, const CurlTransferRequest& request,
                                               CurlTransferClient& client);
    // Ends the transfer and lets go of its sockets and timers on the loop.
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    // Whether the answer can be looked at: its head is complete, its body has
    // begun (curl holds it back until acceptBody()), or the transfer ended
    // well without either (a scheme without headers).
    bool answerIsReady() const;
    // The answer as far as it has come: status and fields of the latest head
    // (none before a status line), the expected length (-1 when unknown) and
    // the URL after redirects.
    UrlResponse response() const;
    // Lets the body flow to the client's sink; a piece that curl held back
    // comes from inside this call.
    void acceptBody();

    bool ended() const { return result_.has_value(); }
    bool succeeded() const { return result_ == CURLE_OK; }
    // Whether a proxy wanted credentials before it would open a tunnel.
    bool proxyAskedForCredentials() const;
    // The proxy in the way, for telling a person: the one the environment
    // names for the URL, else the address connected to.
    std::string proxyHost() const;
    // Why an ended transfer failed, in one line: this transfer's own reason
    // (a write error, a refused redirect, the silence) before curl's.
    std::string failureDescription() const;
    // What that failure means: whether it may pass, its kind, plain words.
    TransferFailure failure() const;

private:
    CurlTransfer(EventLoop& loop, const CurlTransferRequest& request, CurlTransferClient& client);
    bool setUp();
    bool setRequestHeaders();
    bool setEasyOptions();

    // curl's callbacks: they record, and return.
    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* socketData);
    static int onTimer(CURLM* multi, long timeoutMilliseconds, void* self);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    // Whether curl ended a transfer that went on too slowly.
    bool tooSlow() const;
    bool recordHeaderLine(std::string_view line);
    bool recordRedirect();
    std::size_t recordBody(const char* data, std::size_t size);

    // The loop's callbacks: drive curl, then tell the client.
    void drive(curl_socket_t socket, int actions);
    void scheduleIdleCheck(double seconds);
    void checkIdle();

    EventLoop& loop_;
    const CurlTransferRequest request_;
    CurlTransferClient& client_;

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* requestHeaders_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE];
    std::set<curl_socket_t> watchedSockets_;
    std::optional<EventLoop::CallId> timer_;

    // curl's own low-speed check averages over several seconds and so fires
    // late after a burst; this one counts from the last byte that came in.
    std::chrono::steady_clock::time_point lastActivity_;
    std::optional<EventLoop::CallId> idleCheck_;

    HttpResponseHeadReader head_;
    std::string currentScheme_;      // of the URL being answered, after the redirects so far
    bool acceptingBody_ = false;     // the client has looked at the answer
    bool bodyPaused_ = false;        // curl holds body bytes until then
    std::optional<CURLcode> result_; // the transfer is over
    std::string ownFailure_;
    bool refusedRedirect_ = false;
};
