#include "platform/curl_transfer.h"

#include "platform/url_hosts.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <strings.h>

namespace {

constexpr long kMaximumRedirects = 20;
// Slower than this for the idle time is a stalled transfer.
constexpr long kMinimumBytesPerSecond = 1024;

bool curlIsReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

// Whether the text is a URL a transfer fetches: absolute, well formed,
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

// The product's name and version, then libcurl's: servers and their logs
// tell releases apart by it.
std::string userAgentOf(const std::string& product)
{
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    return product + " libcurl/" + (curl != nullptr && curl->version != nullptr ? curl->version : "unknown");
}

} // namespace

bool CurlTransfer::canFetch(const std::string& url, std::string& whyNot)
{
    if (!curlIsReady()) {
        whyNot = "the HTTP library cannot be initialised";
        return false;
    }
    return isFetchableUrl(url, whyNot);
}

std::unique_ptr<CurlTransfer> CurlTransfer::start(EventLoop& loop, const CurlTransferRequest& request,
                                                  CurlTransferClient& client)
{
    std::unique_ptr<CurlTransfer> transfer(new CurlTransfer(loop, request, client));
    if (!transfer->setUp())
        return nullptr;
    return transfer;
}

CurlTransfer::CurlTransfer(EventLoop& loop, const CurlTransferRequest& request, CurlTransferClient& client)
    : loop_(loop), request_(request), client_(client), currentScheme_(schemeOf(request.url))
{
    errorBuffer_[0] = '\0';
}

CurlTransfer::~CurlTransfer()
{
    // curl may still call onSocket and onTimer from here; they only record.
    if (multi_ && easy_)
        curl_multi_remove_handle(multi_, easy_);
    if (easy_)
        curl_easy_cleanup(easy_);
    if (multi_)
        curl_multi_cleanup(multi_);
    curl_slist_free_all(requestHeaders_);

    for (const curl_socket_t socket : watchedSockets_)
        loop_.stopWatching(socket);
    for (const std::optional<EventLoop::CallId>& call : {timer_, idleCheck_}) {
        if (call)
            loop_.cancelCall(*call);
    }
}

bool CurlTransfer::setRequestHeaders()
{
    const auto add = [this](const std::string& line) {
        curl_slist* longer = curl_slist_append(requestHeaders_, line.c_str());
        if (longer)
            requestHeaders_ = longer;
        return longer != nullptr;
    };
    bool ok = true;
    if (!request_.ifNoneMatch.empty())
        ok = add("If-None-Match: " + request_.ifNoneMatch);
    if (request_.resumeFrom > 0) {
        // If-Range: the rest of the body, or all of it when it is no longer the same.
        ok = ok && add("Range: bytes=" + std::to_string(request_.resumeFrom) + "-");
        ok = ok && add("If-Range: " + request_.resumeValidator);
    }
    return ok && (!requestHeaders_ || curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, requestHeaders_) == CURLE_OK);
}

bool CurlTransfer::setUp()
{
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (!multi_ || !easy_ || !setRequestHeaders() || !setEasyOptions())
        return false;
    bool ok = true;
    const auto set = [&ok](CURLMcode code) { ok = ok && code == CURLM_OK; };
    set(curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlTransfer::onSocket));
    set(curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this));
    set(curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlTransfer::onTimer));
    set(curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this));
    // Adding the handle asks for a timer; the transfer begins when it fires.
    if (!ok || curl_multi_add_handle(multi_, easy_) != CURLM_OK)
        return false;
    lastActivity_ = std::chrono::steady_clock::now();
    scheduleIdleCheck(request_.idleSeconds);
    return true;
}

bool CurlTransfer::setEasyOptions()
{
    bool ok = true;
    const auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy_, CURLOPT_URL, request_.url.c_str()));
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
    // Whatever scheme the proxy asks for, with the credentials of its URL.
    set(curl_easy_setopt(easy_, CURLOPT_PROXYAUTH, CURLAUTH_ANY));
    set(curl_easy_setopt(easy_, CURLOPT_USERAGENT, userAgentOf(request_.userAgent).c_str()));
    if (!request_.caBundlePath.empty())
        set(curl_easy_setopt(easy_, CURLOPT_CAINFO, request_.caBundlePath.c_str()));
    // No overall time limit: only silence counts, while connecting and after.
    set(curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(request_.idleSeconds * 1000.0))));
    // A minimum rate: a server that drips a few bytes a second holds no run for days.
    set(curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, kMinimumBytesPerSecond));
    set(curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::ceil(request_.idleSeconds))));
    set(curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader));
    set(curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this));
    set(curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody));
    set(curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this));
    return ok;
}

bool CurlTransfer::answerIsReady() const
{
    if (head_.isComplete() || bodyPaused_)
        return true;
    return succeeded();
}

UrlResponse CurlTransfer::response() const
{
    UrlResponse response;
    response.statusCode = head_.statusCode();
    response.headerFields = head_.fields();
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
        response.expectedContentLength = static_cast<std::int64_t>(length);
    char* effectiveUrl = nullptr;
    if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effectiveUrl) == CURLE_OK && effectiveUrl)
        response.url = effectiveUrl;
    else
        response.url = request_.url;
    return response;
}

void CurlTransfer::acceptBody()
{
    acceptingBody_ = true;
    if (!bodyPaused_)
        return;
    bodyPaused_ = false;
    const CURLcode resumed = curl_easy_pause(easy_, CURLPAUSE_CONT);
    if (resumed != CURLE_OK && !result_)
        result_ = resumed;
}

bool CurlTransfer::proxyAskedForCredentials() const
{
    long connectCode = 0;
    return curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK && connectCode == 407;
}

std::string CurlTransfer::proxyHost() const
{
    std::string host = proxyHostFromEnvironment(schemeOf(response().url));
    char* address = nullptr;
    if (host.empty() && curl_easy_getinfo(easy_, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr)
        host = address;
    return host;
}

bool CurlTransfer::tooSlow() const
{
    // curl's own time-out, once connected, is the rate's; the silence is this transfer's own.
    curl_off_t connected = 0;
    return ownFailure_.empty() && result_ == CURLE_OPERATION_TIMEDOUT
        && curl_easy_getinfo(easy_, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK && connected > 0;
}

std::string CurlTransfer::failureDescription() const
{
    if (!ownFailure_.empty())
        return ownFailure_;
    if (tooSlow()) {
        char text[96];
        std::snprintf(text, sizeof text, "Too slow: less than %ld bytes a second for %g seconds",
                      kMinimumBytesPerSecond, std::ceil(request_.idleSeconds));
        return text;
    }
    if (errorBuffer_[0] != '\0')
        return errorBuffer_;
    return result_ ? curl_easy_strerror(*result_) : "the transfer has not ended";
}

TransferFailure CurlTransfer::failure() const
{
    TransferEnd end;
    end.result = result_.value_or(CURLE_OK);
    end.description = failureDescription();
    end.refusedRedirect = refusedRedirect_;
    curl_off_t connectMicroseconds = 0;
    end.connected = curl_easy_getinfo(easy_, CURLINFO_CONNECT_TIME_T, &connectMicroseconds) == CURLE_OK
                    && connectMicroseconds > 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &end.proxyConnectCode);
    end.host = hostOfUrl(response().url);
    end.proxyHost = proxyHost();
    return judgeTransferFailure(end);
}

int CurlTransfer::onSocket(CURL*, curl_socket_t socket, int what, void* self, void*)
{
    auto* transfer = static_cast<CurlTransfer*>(self);
    if (what == CURL_POLL_REMOVE) {
        transfer->loop_.stopWatching(socket);
        transfer->watchedSockets_.erase(socket);
        return 0;
    }
    const bool forReading = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool forWriting = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    transfer->watchedSockets_.insert(socket);
    transfer->loop_.watchDescriptor(socket, forReading, forWriting, [transfer](int fd, bool readable, bool writable) {
        transfer->drive(fd, (readable ? CURL_CSELECT_IN : 0) | (writable ? CURL_CSELECT_OUT : 0));
    });
    return 0;
}

int CurlTransfer::onTimer(CURLM*, long timeoutMilliseconds, void* self)
{
    auto* transfer = static_cast<CurlTransfer*>(self);
    if (transfer->timer_) {
        transfer->loop_.cancelCall(*transfer->timer_);
        transfer->timer_.reset();
    }
    if (timeoutMilliseconds >= 0) {
        transfer->timer_ = transfer->loop_.callLater(static_cast<double>(timeoutMilliseconds) / 1000.0, [transfer] {
            transfer->timer_.reset();
            transfer->drive(CURL_SOCKET_TIMEOUT, 0);
        });
    }
    return 0;
}

std::size_t CurlTransfer::onHeader(char* data, std::size_t size, std::size_t count, void* self)
{
    // 0 ends the transfer (CURLE_WRITE_ERROR): a redirect that is refused.
    const std::string_view line(data, size * count);
    return static_cast<CurlTransfer*>(self)->recordHeaderLine(line) ? size * count : 0;
}

std::size_t CurlTransfer::onBody(char* data, std::size_t size, std::size_t count, void* self)
{
    return static_cast<CurlTransfer*>(self)->recordBody(data, size * count);
}

bool CurlTransfer::recordHeaderLine(std::string_view line)
{
    lastActivity_ = std::chrono::steady_clock::now();
    if (head_.addLine(line) == HttpResponseHeadReader::LineMeaning::RedirectEnds)
        return recordRedirect();
    return true;
}

// A redirect that curl is about to follow. Once on https the download stays
// there: what a secure answer points to must be fetched securely too. A
// relative location keeps the scheme of the URL it answers.
bool CurlTransfer::recordRedirect()
{
    const std::string target = schemeOf(head_.location());
    if (target.empty())
        return true;
    if (currentScheme_ == "https" && target != "https") {
        ownFailure_ = "refused redirect from https to " + target + " (" + head_.location() + ")";
        refusedRedirect_ = true;
        return false;
    }
    currentScheme_ = target;
    return true;
}

std::size_t CurlTransfer::recordBody(const char* data, std::size_t size)
{
    lastActivity_ = std::chrono::steady_clock::now();
    if (!acceptingBody_) {
        // Nobody has looked at the answer yet: no byte may reach the file
        // before that. curl keeps this chunk and reads nothing more until
        // acceptBody() resumes the transfer.
        bodyPaused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (!client_.transferReceivedBody(data, size, ownFailure_))
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    return size;
}

void CurlTransfer::drive(curl_socket_t socket, int actions)
{
    int running = 0;
    curl_multi_socket_action(multi_, socket, actions, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_ && !result_)
            result_ = message->data.result;
    }
    client_.transferMayHaveNews(); // may destroy this object: nothing may follow
}

void CurlTransfer::scheduleIdleCheck(double seconds)
{
    idleCheck_ = loop_.callLater(seconds, [this] {
        idleCheck_.reset();
        checkIdle();
    });
}

void CurlTransfer::checkIdle()
{
    if (result_)
        return;
    const double quiet = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastActivity_).count();
    if (quiet < request_.idleSeconds) {
        scheduleIdleCheck(request_.idleSeconds - quiet);
        return;
    }
    // Whatever came in meanwhile has been handled: the loop reports ready
    // descriptors before due timers.
    result_ = CURLE_OPERATION_TIMEDOUT;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", request_.idleSeconds);
    ownFailure_ = std::string("No data received for ") + seconds + " seconds";
    client_.transferMayHaveNews(); // may destroy this object: nothing may follow
}
