// URL downloads on libcurl's multi interface, driven by the caller's event
// loop through curl's socket and timer callbacks.
//
// The rule that shapes this file: curl's callbacks only record what happened.
// Everything else (calling curl again, pausing and resuming, telling the
// delegate) happens in dispatch(), which runs after curl_multi_socket_action
// has returned. That way the delegate may cancel or destroy the download from
// any of its calls without pulling the ground from under curl.
//
// One download may take several attempts, each a transfer of its own with a
// fresh curl handle. Between two of them the download waits on a loop timer;
// the file stays open, so that an attempt can go on where the last one
// stopped (a range request) or start the body again from zero. When to try
// again and how long to wait is retry_policy's to say.

#include "platform/url_download.h"

#include "platform/file_manager.h"
#include "platform/retry_policy.h"
#include "platform/system_log.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr long kMaximumRedirects = 20;

bool curlIsReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

// Whether the text is a URL this download fetches: absolute, well formed,
// http or https. Nothing is guessed or completed. whyNot says why not.
bool isFetchableUrl(const std::string& url, std::string& whyNot)
{
    if (url.empty()) {
        whyNot = "empty URL";
        return false;
    }
    CURLU* parsed = curl_url();
    if (!parsed) {
        whyNot = "out of memory";
        return false;
    }
    char* scheme = nullptr;
    // Any scheme is parsed, so that one of another kind is told apart from a malformed URL.
    const CURLUcode code = curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
    if (code != CURLUE_OK)
        whyNot = std::string("malformed URL (") + curl_url_strerror(code) + ")";
    else if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme)
        whyNot = "malformed URL (no scheme)";
    else if (strcasecmp(scheme, "http") != 0 && strcasecmp(scheme, "https") != 0)
        whyNot = "unsupported URL scheme";
    curl_free(scheme);
    curl_url_cleanup(parsed);
    return whyNot.empty();
}

// Failures of a transfer that may pass by themselves. Certificate and TLS
// failures are not among them: a reset during the handshake is not told
// apart by curl from a server that cannot be trusted.
bool isTransientTransferFailure(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:        // the connection ended before the announced length
    case CURLE_OPERATION_TIMEDOUT:  // no connection in time, or the idle time-out
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:          // reset by the peer
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The scheme of an absolute URL or location, lower case; "" for a relative one.
std::string schemeOf(std::string_view url)
{
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return {};
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = url[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && !(i > 0 && other))
            return {}; // a colon in a path or a query, not a scheme
        scheme += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return scheme;
}

struct ContentRange {
    std::uint64_t first = 0;
    std::optional<std::uint64_t> completeLength; // none for "*"
};

// "bytes <first>-<last>/<complete length or *>"
std::optional<ContentRange> parseContentRange(std::string_view text)
{
    text = trimmed(text);
    if (text.size() < 6 || !equalIgnoringCase(text.substr(0, 6), "bytes "))
        return std::nullopt;
    const std::string rest(trimmed(text.substr(6)));
    char* end = nullptr;
    ContentRange range;
    errno = 0;
    range.first = std::strtoull(rest.c_str(), &end, 10);
    if (end == rest.c_str() || *end != '-' || errno != 0)
        return std::nullopt;
    const char* lastStart = end + 1;
    const std::uint64_t last = std::strtoull(lastStart, &end, 10);
    if (end == lastStart || *end != '/' || last < range.first)
        return std::nullopt;
    const char* totalStart = end + 1;
    if (std::string_view(totalStart) == "*")
        return range;
    const std::uint64_t total = std::strtoull(totalStart, &end, 10);
    if (end == totalStart || *end != '\0' || last >= total)
        return std::nullopt;
    range.completeLength = total;
    return range;
}


std::string formatSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", seconds);
    return text;
}

class CurlUrlDownload final : public UrlDownload {
public:
    CurlUrlDownload(EventLoop& loop, std::string url, UrlDownloadDelegate& delegate, const UrlDownloadOptions& options)
        : loop_(loop), url_(std::move(url)), delegate_(delegate), options_(options),
          attempts_(1 + std::clamp(options.retries, 0, 1000))
    {
        errorBuffer_[0] = '\0';
    }

    ~CurlUrlDownload() override
    {
        cancel();
        *alive_ = false;
    }

    CurlUrlDownload(const CurlUrlDownload&) = delete;
    CurlUrlDownload& operator=(const CurlUrlDownload&) = delete;

    bool start() { return startAttempt(); }

    void setDestination(const std::string& path, bool allowOverwrite) override
    {
        destination_ = path;
        allowOverwrite_ = allowOverwrite;
    }

    void setDeletesFileUponFailure(bool deletes) override { deletesFileUponFailure_ = deletes; }

    void cancel() override
    {
        if (state_ != State::Running)
            return;
        state_ = State::Cancelled;
        releaseTransfer(); // also the wait for the next attempt
        discardPartialFile();
    }

private:
    enum class State { Running, Finished, Failed, Challenged, Cancelled };

    struct HeaderField {
        std::string name;
        std::string value;
    };

    // curl's callbacks: they record, and return.
    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* socketData);
    static int onTimer(CURLM* multi, long timeoutMilliseconds, void* self);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);

    bool recordHeaderLine(std::string_view line);
    bool recordRedirect();
    std::size_t recordBody(const char* data, std::size_t size);

    // One attempt: a transfer with its own curl handles.
    bool startAttempt();
    void startAnotherAttempt();

    // The loop's callbacks: drive curl, then dispatch.
    void socketIsReady(int fd, bool readable, bool writable);
    void timerIsDue();
    void checkIdle();
    void scheduleIdleCheck(double seconds);

    void dispatch();
    bool responseIsReady() const;
    UrlResponse makeResponse() const;
    bool resumedBodyFits(const UrlResponse& response) const;
    void restartBody(const UrlResponse& response);
    bool openDestination(std::string& whyNot);
    void retryLater(const std::string& reason, std::optional<double> serverDelay);
    void fetchAgainWithoutRange();
    void challenge();
    void deliverFailure(const std::string& description);
    void releaseTransfer();
    void closeFile();
    void discardPartialFile();

    EventLoop& loop_;
    const std::string url_;
    UrlDownloadDelegate& delegate_;
    const UrlDownloadOptions options_;
    // Set to false when the object dies; dispatch() holds a copy to notice
    // that a delegate call destroyed it.
    const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    State state_ = State::Running;
    std::string destination_;
    bool allowOverwrite_ = false;
    bool deletesFileUponFailure_ = false;

    // The attempts.
    const int attempts_;                      // at most this many in all
    int attempt_ = 1;                         // the current one, from 1
    std::optional<EventLoop::CallId> nextAttemptCall_;

    // What the file holds: the start of the body of the response delivered last.
    bool responseDelivered_ = false;
    std::int64_t deliveredLength_ = -1;
    std::string resumeValidator_;             // its strong ETag or Last-Modified; "" when it cannot be resumed
    std::string deliveredETag_;
    std::uint64_t bytesInFile_ = 0;
    std::uint64_t resumeFrom_ = 0;            // this attempt asks for the body from here on (0: all of it)
    bool rangesRefused_ = false;              // the server could not resume once: it is not asked again

    // The transfer of the current attempt.
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* requestHeaders_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE];
    std::set<int> watchedSockets_;
    std::optional<EventLoop::CallId> timer_;

    // curl's own low-speed check averages over several seconds and so fires
    // late after a burst; this one counts from the last byte that came in.
    double idleSeconds_ = 60.0;
    std::chrono::steady_clock::time_point lastActivity_;
    std::optional<EventLoop::CallId> idleCheck_;

    // The answer of the current attempt; every status line starts a new one.
    std::string currentScheme_;        // of the URL being answered, after the redirects so far
    bool sawStatusLine_ = false;
    long statusCode_ = 0;
    std::string location_;
    std::vector<HeaderField> headerFields_;
    bool headersComplete_ = false; // of the final answer: no redirect or interim answer follows

    bool responseSettled_ = false; // the attempt's answer has been looked at
    bool acceptingBody_ = false;   // its body goes into the file (or, for a 304, nowhere)
    bool bodyPaused_ = false;      // curl holds body bytes until the answer has been looked at
    int fd_ = -1;
    bool fileOpened_ = false;      // this download created or truncated the destination
    bool fileIsRegular_ = false;   // only a regular file is ever deleted or truncated
    std::uint64_t unreportedBytes_ = 0;
    std::string failureDescription_; // ours, better than curl's for the same failure
    std::optional<CURLcode> result_; // the attempt's transfer is over
};

bool CurlUrlDownload::startAttempt()
{
    errorBuffer_[0] = '\0';
    currentScheme_ = schemeOf(url_);
    sawStatusLine_ = false;
    statusCode_ = 0;
    location_.clear();
    headerFields_.clear();
    headersComplete_ = false;
    responseSettled_ = false;
    acceptingBody_ = false;
    bodyPaused_ = false;
    failureDescription_.clear();
    result_.reset();

    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (!multi_ || !easy_)
        return false;

    const double idle = options_.idleTimeoutSeconds > 0 ? std::min(options_.idleTimeoutSeconds, 1e6) : 60.0;
    idleSeconds_ = idle;
    const long idleMilliseconds = static_cast<long>(std::ceil(idle * 1000.0));
    const long idleSeconds = static_cast<long>(std::ceil(idle));

    // Once the caller has heard of an answer (and, say, dropped what it had
    // cached), "not modified" would mean nothing to it: asked for no more.
    if (!options_.ifNoneMatch.empty() && !responseDelivered_)
        requestHeaders_ = curl_slist_append(requestHeaders_, ("If-None-Match: " + options_.ifNoneMatch).c_str());
    if (resumeFrom_ > 0) {
        // If-Range: the rest of the body, or all of it when it is no longer the same.
        requestHeaders_ = curl_slist_append(requestHeaders_, ("Range: bytes=" + std::to_string(resumeFrom_) + "-").c_str());
        requestHeaders_ = curl_slist_append(requestHeaders_, ("If-Range: " + resumeValidator_).c_str());
    }

    bool ok = true;
    const auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str()));
    set(curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_));
    set(curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 512L * 1024));
    set(curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaximumRedirects));
    // recordRedirect() also keeps a redirect from leaving https.
    set(curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    // A tunnelling proxy's own answer is not the server's response.
    set(curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_USERAGENT, "launcher"));
    if (!options_.caBundlePath.empty())
        set(curl_easy_setopt(easy_, CURLOPT_CAINFO, options_.caBundlePath.c_str()));
    if (requestHeaders_)
        set(curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, requestHeaders_));
    // No overall time limit: only silence counts, while connecting and after.
    set(curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, idleMilliseconds));
    set(curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, idleSeconds));
    set(curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlUrlDownload::onHeader));
    set(curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this));
    set(curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlUrlDownload::onBody));
    set(curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this));
    set(curl_easy_setopt(easy_, CURLOPT_PRIVATE, this));

    const auto setMulti = [&ok](CURLMcode code) { ok = ok && code == CURLM_OK; };
    setMulti(curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlUrlDownload::onSocket));
    setMulti(curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this));
    setMulti(curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlUrlDownload::onTimer));
    setMulti(curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this));
    if (!ok)
        return false;
    // Adding the handle asks for a timer; the transfer begins when it fires.
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK)
        return false;
    lastActivity_ = std::chrono::steady_clock::now();
    scheduleIdleCheck(idleSeconds_);
    return true;
}

void CurlUrlDownload::startAnotherAttempt()
{
    if (state_ != State::Running)
        return;
    if (!startAttempt())
        deliverFailure("Cannot start the transfer again");
}

void CurlUrlDownload::scheduleIdleCheck(double seconds)
{
    idleCheck_ = loop_.callLater(seconds, [this] {
        idleCheck_.reset();
        checkIdle();
    });
}

void CurlUrlDownload::checkIdle()
{
    if (!multi_ || result_)
        return;
    const double quiet =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - lastActivity_).count();
    if (quiet < idleSeconds_) {
        scheduleIdleCheck(idleSeconds_ - quiet);
        return;
    }
    // Whatever came in meanwhile has been handled: the loop reports ready
    // descriptors before due timers.
    result_ = CURLE_OPERATION_TIMEDOUT;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", idleSeconds_);
    failureDescription_ = std::string("No data received for ") + seconds + " seconds";
    dispatch(); // may destroy this object: nothing may follow
}

int CurlUrlDownload::onSocket(CURL*, curl_socket_t socket, int what, void* self, void*)
{
    auto* download = static_cast<CurlUrlDownload*>(self);
    if (what == CURL_POLL_REMOVE) {
        download->loop_.stopWatching(socket);
        download->watchedSockets_.erase(socket);
        return 0;
    }
    const bool forReading = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool forWriting = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    download->watchedSockets_.insert(socket);
    download->loop_.watchDescriptor(socket, forReading, forWriting, [download](int fd, bool readable, bool writable) {
        download->socketIsReady(fd, readable, writable);
    });
    return 0;
}

int CurlUrlDownload::onTimer(CURLM*, long timeoutMilliseconds, void* self)
{
    auto* download = static_cast<CurlUrlDownload*>(self);
    if (download->timer_) {
        download->loop_.cancelCall(*download->timer_);
        download->timer_.reset();
    }
    if (timeoutMilliseconds >= 0) {
        download->timer_ = download->loop_.callLater(static_cast<double>(timeoutMilliseconds) / 1000.0, [download] {
            download->timer_.reset();
            download->timerIsDue();
        });
    }
    return 0;
}

std::size_t CurlUrlDownload::onHeader(char* data, std::size_t size, std::size_t count, void* self)
{
    // 0 ends the transfer (CURLE_WRITE_ERROR): a redirect that is refused.
    return static_cast<CurlUrlDownload*>(self)->recordHeaderLine(std::string_view(data, size * count)) ? size * count : 0;
}

std::size_t CurlUrlDownload::onBody(char* data, std::size_t size, std::size_t count, void* self)
{
    return static_cast<CurlUrlDownload*>(self)->recordBody(data, size * count);
}

bool CurlUrlDownload::recordHeaderLine(std::string_view rawLine)
{
    lastActivity_ = std::chrono::steady_clock::now();
    std::string_view line = rawLine;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);

    if (line.size() > 5 && line.substr(0, 5) == "HTTP/") {
        // A new response: a redirect's target, or the real answer after "100 Continue".
        sawStatusLine_ = true;
        headersComplete_ = false;
        location_.clear();
        headerFields_.clear();
        statusCode_ = 0;
        const std::size_t blank = line.find(' ');
        if (blank != std::string_view::npos) {
            std::string_view rest = line.substr(blank + 1);
            long code = 0;
            std::size_t digits = 0;
            while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9')
                code = code * 10 + (rest[digits++] - '0');
            if (digits == 3)
                statusCode_ = code;
        }
        return true;
    }
    if (!sawStatusLine_ || headersComplete_)
        return true; // not HTTP, or trailers after the body

    if (line.empty()) {
        const bool interim = statusCode_ >= 100 && statusCode_ < 200;
        // curl follows every 3xx that names a Location; the answer comes later.
        const bool followed = statusCode_ >= 300 && statusCode_ < 400 && statusCode_ != 304 && !location_.empty();
        if (followed)
            return recordRedirect();
        if (!interim)
            headersComplete_ = true;
        return true;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !headerFields_.empty()) {
        // An obsolete folded continuation of the previous field.
        const std::string_view more = trimmed(line);
        if (!more.empty()) {
            std::string& value = headerFields_.back().value;
            if (!value.empty())
                value += ' ';
            value.append(more);
        }
        return true;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return true;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalIgnoringCase(name, "Location"))
        location_ = value;
    headerFields_.push_back(HeaderField{std::string(name), std::string(value)});
    return true;
}

// A redirect that curl is about to follow. Once on https the download stays
// there: what a secure answer points to must be fetched securely too. A
// relative location keeps the scheme of the URL it answers.
bool CurlUrlDownload::recordRedirect()
{
    const std::string target = schemeOf(location_);
    if (target.empty())
        return true;
    if (currentScheme_ == "https" && target != "https") {
        failureDescription_ = "refused redirect from https to " + target + " (" + location_ + ")";
        return false;
    }
    currentScheme_ = target;
    return true;
}

std::size_t CurlUrlDownload::recordBody(const char* data, std::size_t size)
{
    lastActivity_ = std::chrono::steady_clock::now();
    if (!acceptingBody_) {
        // Nobody has looked at the answer yet: no byte may reach the file
        // before that. curl keeps this chunk and reads nothing more until
        // dispatch() resumes the transfer.
        bodyPaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (fd_ < 0)
        return size; // the body of a 304 (there should be none) is not the file's
    if (!writeAll(fd_, data, size)) {
        failureDescription_ = "Cannot write to " + destination_ + ": " + std::strerror(errno);
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    }
    bytesInFile_ += size;
    unreportedBytes_ += size;
    if (options_.onBodyBytes)
        options_.onBodyBytes(data, size);
    return size;
}

void CurlUrlDownload::socketIsReady(int fd, bool readable, bool writable)
{
    if (!multi_)
        return;
    const int actions = (readable ? CURL_CSELECT_IN : 0) | (writable ? CURL_CSELECT_OUT : 0);
    int running = 0;
    curl_multi_socket_action(multi_, fd, actions, &running);
    dispatch(); // may destroy this object: nothing may follow
}

void CurlUrlDownload::timerIsDue()
{
    if (!multi_)
        return;
    int running = 0;
    curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
    dispatch(); // may destroy this object: nothing may follow
}

bool CurlUrlDownload::responseIsReady() const
{
    if (headersComplete_ || bodyPaused_)
        return true;
    // A transfer that ended well without a body, or one of a scheme without headers.
    return result_ && *result_ == CURLE_OK;
}

UrlResponse CurlUrlDownload::makeResponse() const
{
    UrlResponse response;
    if (sawStatusLine_) {
        response.statusCode = statusCode_;
        for (const HeaderField& field : headerFields_) {
            // Repeated fields are joined, whatever the case of their names.
            auto same = std::find_if(response.headerFields.begin(), response.headerFields.end(),
                                     [&](const auto& entry) { return equalIgnoringCase(entry.first, field.name); });
            if (same == response.headerFields.end())
                response.headerFields.emplace(field.name, field.value);
            else
                same->second += ", " + field.value;
        }
    }
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
        response.expectedContentLength = static_cast<std::int64_t>(length);
    char* effectiveUrl = nullptr;
    if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effectiveUrl) == CURLE_OK && effectiveUrl)
        response.url = effectiveUrl;
    else
        response.url = url_;
    return response;
}

// Whether a 206 is the rest of the body in the file: it starts where the file
// ends, of the same complete length, and carries no other validator.
bool CurlUrlDownload::resumedBodyFits(const UrlResponse& response) const
{
    const std::optional<ContentRange> range = parseContentRange(response.headerField("Content-Range"));
    if (!range || range->first != resumeFrom_)
        return false;
    if (range->completeLength && deliveredLength_ >= 0
        && *range->completeLength != static_cast<std::uint64_t>(deliveredLength_))
        return false;
    const std::string etag = response.headerField("ETag");
    if (!etag.empty() && !deliveredETag_.empty() && etag != deliveredETag_)
        return false;
    const std::string lastModified = response.headerField("Last-Modified");
    if (deliveredETag_.empty() && !lastModified.empty() && lastModified != resumeValidator_)
        return false;
    return true;
}

// A new answer whose body starts from zero: whatever an earlier one left in
// the file goes before anybody hears of this one, and what can resume it later
// is taken from it.
void CurlUrlDownload::restartBody(const UrlResponse& response)
{
    if (fd_ >= 0) {
        if (fileIsRegular_ && ftruncate(fd_, 0) == 0)
            lseek(fd_, 0, SEEK_SET);
    }
    bytesInFile_ = 0;
    responseDelivered_ = true;
    deliveredLength_ = response.expectedContentLength;
    deliveredETag_.clear();
    resumeValidator_.clear();
    if (response.statusCode != 200)
        return; // only the archive itself is worth resuming
    const std::string etag = response.headerField("ETag");
    const bool weak = etag.size() >= 2 && (etag[0] == 'W' || etag[0] == 'w') && etag[1] == '/';
    if (!etag.empty() && !weak) {
        deliveredETag_ = etag;
        resumeValidator_ = etag;
    } else {
        resumeValidator_ = response.headerField("Last-Modified");
    }
}

bool CurlUrlDownload::openDestination(std::string& whyNot)
{
    if (destination_.empty()) {
        whyNot = "No destination was given for the download";
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (allowOverwrite_ ? O_TRUNC : O_EXCL);
    fd_ = open(destination_.c_str(), flags, 0666);
    if (fd_ < 0) {
        whyNot = "Cannot create " + destination_ + ": " + std::strerror(errno);
        return false;
    }
    fileOpened_ = true;
    struct stat info {};
    fileIsRegular_ = fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
    return true;
}

void CurlUrlDownload::dispatch()
{
    if (state_ != State::Running || !multi_)
        return;
    const std::shared_ptr<bool> alive = alive_;
    const auto gone = [&] { return !*alive || state_ != State::Running; };

    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_)
            result_ = result_.value_or(message->data.result);
    }

    if (!responseSettled_) {
        if (result_ && *result_ != CURLE_OK && !responseIsReady()) {
            // The proxy wanted credentials before it would open a tunnel.
            long connectCode = 0;
            if (curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK && connectCode == 407) {
                challenge();
                return;
            }
        }
        if (responseIsReady()) {
            responseSettled_ = true;
            const UrlResponse response = makeResponse();
            const long status = response.statusCode;
            if (status == 401 || status == 407) {
                challenge();
                return;
            }
            if (isTransientHttpStatus(status) && attempt_ < attempts_) {
                // Not delivered: the caller hears of the answer that ends the trying.
                std::optional<double> serverDelay;
                if (statusCarriesRetryAfter(status) && response.hasHeaderField("Retry-After"))
                    serverDelay = retryAfterSeconds(response.headerField("Retry-After"), std::time(nullptr));
                retryLater("HTTP status " + std::to_string(status), serverDelay);
                return;
            }
            const bool resumed = resumeFrom_ > 0 && status == 206 && resumedBodyFits(response);
            if (resumeFrom_ > 0 && !resumed && (status == 206 || status == 416)) {
                // A range the server cannot give, or a piece of something else.
                fetchAgainWithoutRange();
                return;
            }
            if (!resumed) {
                // The body starts from zero (a 200 to a range request included).
                restartBody(response);
                delegate_.downloadDidReceiveResponse(*this, response);
                if (gone())
                    return;
                std::string whyNot;
                if (status != 304 && fd_ < 0 && !openDestination(whyNot)) {
                    deliverFailure(whyNot);
                    return;
                }
                if (status == 304)
                    closeFile(); // nothing is written, and what an earlier answer left was taken out
            }
            // A resumed body simply follows what the file holds.
            acceptingBody_ = true;
            if (bodyPaused_) {
                bodyPaused_ = false;
                // curl hands over the chunk it kept, from inside this call.
                const CURLcode resumedCode = curl_easy_pause(easy_, CURLPAUSE_CONT);
                if (resumedCode != CURLE_OK && !result_)
                    result_ = resumedCode;
            }
        }
    }

    if (unreportedBytes_ > 0) {
        const std::uint64_t length = unreportedBytes_;
        unreportedBytes_ = 0;
        delegate_.downloadDidReceiveDataOfLength(*this, length);
        if (gone())
            return;
    }

    if (!result_)
        return;
    if (*result_ == CURLE_OK) {
        state_ = State::Finished;
        releaseTransfer();
        closeFile(); // the file is complete and closed before anyone hears of it
        delegate_.downloadDidFinish(*this);
        return;
    }
    std::string description;
    if (!failureDescription_.empty())
        description = failureDescription_;
    else if (errorBuffer_[0] != '\0')
        description = errorBuffer_;
    else
        description = curl_easy_strerror(*result_);
    if (isTransientTransferFailure(*result_) && attempt_ < attempts_) {
        retryLater(description, std::nullopt);
        return;
    }
    deliverFailure(description);
}

// Ends this attempt and waits for the next. The file stays as it is: the next
// attempt asks for the rest of it when the body can be recognised again.
void CurlUrlDownload::retryLater(const std::string& reason, std::optional<double> serverDelay)
{
    releaseTransfer();
    const double delay = serverDelay ? *serverDelay : backoffSeconds(attempt_, retryJitter());
    resumeFrom_ = (!rangesRefused_ && bytesInFile_ > 0 && !resumeValidator_.empty()) ? bytesInFile_ : 0;
    ++attempt_;
    const UrlDownloadRetry retry{reason, delay, attempt_, attempts_};
    systemLog("Download interrupted (" + reason + "); retrying in " + formatSeconds(delay) + " s (attempt "
              + std::to_string(attempt_) + " of " + std::to_string(attempts_) + ")");
    nextAttemptCall_ = loop_.callLater(delay, [this] {
        nextAttemptCall_.reset();
        startAnotherAttempt();
    });
    delegate_.downloadWillRetry(*this, retry); // may destroy this object: nothing may follow
}

// The answer to a range request did not fit the file: the same attempt asks
// once more, for the whole body, at once.
void CurlUrlDownload::fetchAgainWithoutRange()
{
    releaseTransfer();
    rangesRefused_ = true;
    resumeFrom_ = 0;
    nextAttemptCall_ = loop_.callLater(0.0, [this] {
        nextAttemptCall_.reset();
        startAnotherAttempt();
    });
}

// Nothing can answer a challenge: the transfer ends here and the download
// waits to be cancelled. A body that an earlier answer left is of no use now.
void CurlUrlDownload::challenge()
{
    state_ = State::Challenged;
    releaseTransfer();
    discardPartialFile();
    delegate_.downloadDidReceiveAuthenticationChallenge(*this);
}

void CurlUrlDownload::deliverFailure(const std::string& description)
{
    state_ = State::Failed;
    releaseTransfer();
    discardPartialFile();
    delegate_.downloadDidFail(*this, UrlDownloadError{description, url_});
}

// Ends the current attempt's transfer, and the wait for the next one. The
// file is left open.
void CurlUrlDownload::releaseTransfer()
{
    // curl may still call onSocket and onTimer from here; they only record.
    if (multi_ && easy_)
        curl_multi_remove_handle(multi_, easy_);
    if (easy_)
        curl_easy_cleanup(easy_);
    easy_ = nullptr;
    if (multi_)
        curl_multi_cleanup(multi_);
    multi_ = nullptr;
    curl_slist_free_all(requestHeaders_);
    requestHeaders_ = nullptr;

    for (const int socket : watchedSockets_)
        loop_.stopWatching(socket);
    watchedSockets_.clear();
    for (std::optional<EventLoop::CallId>* call : {&timer_, &idleCheck_, &nextAttemptCall_}) {
        if (*call)
            loop_.cancelCall(**call);
        call->reset();
    }
}

void CurlUrlDownload::closeFile()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void CurlUrlDownload::discardPartialFile()
{
    closeFile();
    // Only what this download wrote, and never a device or the like that the
    // destination happened to name.
    if (deletesFileUponFailure_ && fileOpened_ && fileIsRegular_)
        unlink(destination_.c_str());
    fileOpened_ = false;
}

} // namespace

std::unique_ptr<UrlDownload> startUrlDownload(EventLoop& loop, const std::string& url, UrlDownloadDelegate& delegate,
                                              const UrlDownloadOptions& options, std::string* whyNot)
{
    std::string reason;
    if (!curlIsReady())
        reason = "the HTTP library cannot be initialised";
    else if (isFetchableUrl(url, reason)) {
        auto download = std::make_unique<CurlUrlDownload>(loop, url, delegate, options);
        if (download->start())
            return download;
        reason = "the HTTP library cannot start a transfer";
    }
    if (whyNot)
        *whyNot = reason;
    return nullptr;
}
