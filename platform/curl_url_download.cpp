// URL downloads on libcurl's multi interface, driven by the caller's event
// loop through curl's socket and timer callbacks.
//
// The rule that shapes this file: curl's callbacks only record what happened.
// Everything else (calling curl again, pausing and resuming, telling the
// delegate) happens in dispatch(), which runs after curl_multi_socket_action
// has returned. That way the delegate may cancel or destroy the download from
// any of its calls without pulling the ground from under curl.

#include "platform/url_download.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
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

// Whether curl can fetch the text as it stands: an absolute URL, well formed,
// with a scheme this libcurl supports. Nothing is guessed or completed.
bool isFetchableUrl(const std::string& url)
{
    if (url.empty())
        return false;
    CURLU* parsed = curl_url();
    if (!parsed)
        return false;
    bool fetchable = false;
    char* scheme = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK
        && curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme) {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        for (const char* const* protocol = info ? info->protocols : nullptr; protocol && *protocol; ++protocol) {
            if (strcasecmp(*protocol, scheme) == 0) {
                fetchable = true;
                break;
            }
        }
    }
    curl_free(scheme);
    curl_url_cleanup(parsed);
    return fetchable;
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

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

class CurlUrlDownload final : public UrlDownload {
public:
    CurlUrlDownload(EventLoop& loop, std::string url, UrlDownloadDelegate& delegate, const UrlDownloadOptions& options)
        : loop_(loop), url_(std::move(url)), delegate_(delegate), options_(options)
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

    bool start();

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
        releaseTransfer();
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

    void recordHeaderLine(std::string_view line);
    std::size_t recordBody(const char* data, std::size_t size);

    // The loop's callbacks: drive curl, then dispatch.
    void socketIsReady(int fd, bool readable, bool writable);
    void timerIsDue();
    void checkIdle();
    void scheduleIdleCheck(double seconds);

    void dispatch();
    bool responseIsReady() const;
    UrlResponse makeResponse() const;
    bool openDestination(std::string& whyNot);
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

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE];
    std::set<int> watchedSockets_;
    std::optional<EventLoop::CallId> timer_;

    // curl's own low-speed check averages over several seconds and so fires
    // late after a burst; this one counts from the last byte that came in.
    double idleSeconds_ = 60.0;
    std::chrono::steady_clock::time_point lastActivity_;
    std::optional<EventLoop::CallId> idleCheck_;

    // The response being received; every status line starts a new one.
    bool sawStatusLine_ = false;
    long statusCode_ = 0;
    bool hasLocation_ = false;
    std::vector<HeaderField> headerFields_;
    bool headersComplete_ = false; // of the final response: no redirect or interim answer follows

    bool responseDelivered_ = false;
    bool bodyPaused_ = false;          // curl holds body bytes until the response has been delivered
    int fd_ = -1;
    bool fileOpened_ = false;          // this download created or truncated the destination
    bool fileIsRegular_ = false;       // only a regular file is ever deleted
    std::uint64_t unreportedBytes_ = 0;
    std::string failureDescription_;   // ours, better than curl's for the same failure
    std::optional<CURLcode> result_;   // the transfer is over
};

bool CurlUrlDownload::start()
{
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (!multi_ || !easy_)
        return false;

    const double idle = options_.idleTimeoutSeconds > 0 ? std::min(options_.idleTimeoutSeconds, 1e6) : 60.0;
    idleSeconds_ = idle;
    const long idleMilliseconds = static_cast<long>(std::ceil(idle * 1000.0));
    const long idleSeconds = static_cast<long>(std::ceil(idle));

    bool ok = true;
    const auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str()));
    set(curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_));
    set(curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaximumRedirects));
    set(curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    // A tunnelling proxy's own answer is not the server's response.
    set(curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_USERAGENT, "launcher"));
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
    static_cast<CurlUrlDownload*>(self)->recordHeaderLine(std::string_view(data, size * count));
    return size * count;
}

std::size_t CurlUrlDownload::onBody(char* data, std::size_t size, std::size_t count, void* self)
{
    return static_cast<CurlUrlDownload*>(self)->recordBody(data, size * count);
}

void CurlUrlDownload::recordHeaderLine(std::string_view rawLine)
{
    lastActivity_ = std::chrono::steady_clock::now();
    std::string_view line = rawLine;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);

    if (line.size() > 5 && line.substr(0, 5) == "HTTP/") {
        // A new response: a redirect's target, or the real answer after "100 Continue".
        sawStatusLine_ = true;
        headersComplete_ = false;
        hasLocation_ = false;
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
        return;
    }
    if (!sawStatusLine_ || headersComplete_)
        return; // not HTTP, or trailers after the body

    if (line.empty()) {
        const bool interim = statusCode_ >= 100 && statusCode_ < 200;
        // curl follows every 3xx that names a Location; the answer comes later.
        const bool followed = statusCode_ >= 300 && statusCode_ < 400 && hasLocation_;
        if (!interim && !followed)
            headersComplete_ = true;
        return;
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
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalIgnoringCase(name, "Location"))
        hasLocation_ = true;
    headerFields_.push_back(HeaderField{std::string(name), std::string(value)});
}

std::size_t CurlUrlDownload::recordBody(const char* data, std::size_t size)
{
    lastActivity_ = std::chrono::steady_clock::now();
    if (fd_ < 0) {
        // Nobody has seen the response yet: no byte may reach the file
        // before that. curl keeps this chunk and reads nothing more until
        // dispatch() resumes the transfer.
        bodyPaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (!writeAll(fd_, data, size)) {
        failureDescription_ = "Cannot write to " + destination_ + ": " + std::strerror(errno);
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    }
    unreportedBytes_ += size;
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

    if (!responseDelivered_) {
        if (result_ && *result_ != CURLE_OK && !responseIsReady()) {
            // The proxy wanted credentials before it would open a tunnel.
            long connectCode = 0;
            if (curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK && connectCode == 407) {
                state_ = State::Challenged;
                releaseTransfer();
                delegate_.downloadDidReceiveAuthenticationChallenge(*this);
                return;
            }
        }
        if (responseIsReady()) {
            responseDelivered_ = true;
            const UrlResponse response = makeResponse();
            if (response.statusCode == 401 || response.statusCode == 407) {
                // Nothing can answer the challenge: the transfer ends here and
                // the download waits to be cancelled.
                state_ = State::Challenged;
                releaseTransfer();
                delegate_.downloadDidReceiveAuthenticationChallenge(*this);
                return;
            }
            delegate_.downloadDidReceiveResponse(*this, response);
            if (gone())
                return;
            std::string whyNot;
            if (!openDestination(whyNot)) {
                deliverFailure(whyNot);
                return;
            }
            if (bodyPaused_) {
                bodyPaused_ = false;
                // curl hands over the chunk it kept, from inside this call.
                const CURLcode resumed = curl_easy_pause(easy_, CURLPAUSE_CONT);
                if (resumed != CURLE_OK && !result_)
                    result_ = resumed;
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
        releaseTransfer(); // the file is complete and closed before anyone hears of it
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
    deliverFailure(description);
}

void CurlUrlDownload::deliverFailure(const std::string& description)
{
    state_ = State::Failed;
    releaseTransfer();
    discardPartialFile();
    delegate_.downloadDidFail(*this, UrlDownloadError{description, url_});
}

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

    for (const int socket : watchedSockets_)
        loop_.stopWatching(socket);
    watchedSockets_.clear();
    if (timer_)
        loop_.cancelCall(*timer_);
    timer_.reset();
    if (idleCheck_)
        loop_.cancelCall(*idleCheck_);
    idleCheck_.reset();
    closeFile();
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
                                              const UrlDownloadOptions& options, std::string* /*whyNot*/)
{
    if (!curlIsReady() || !isFetchableUrl(url))
        return nullptr;
    auto download = std::make_unique<CurlUrlDownload>(loop, url, delegate, options);
    if (!download->start())
        return nullptr;
    return download;
}
