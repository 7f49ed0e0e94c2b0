// URL downloads on libcurl, in attempts: each attempt is a transfer of its
// own (curl_transfer.h), whose news this download looks at after curl has
// returned, and passes on to the delegate. That way the delegate may cancel
// or destroy the download from any of its calls.
//
// Between two attempts the download waits on a loop timer; the file stays
// open, so that an attempt can go on where the last one stopped (a range
// request) or start the body again from zero. When to try again and how long
// to wait is retry_policy's to say.

#include "platform/url_download.h"

#include "platform/curl_transfer.h"
#include "platform/download_file.h"
#include "platform/http_response_head.h"
#include "platform/retry_policy.h"
#include "platform/system_log.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <utility>

namespace {

std::string formatSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", seconds);
    return text;
}

// What the file holds: the start of the body of the response delivered last,
// and what can ask for the rest of it.
struct BodyInFile {
    bool delivered = false;
    std::int64_t length = -1;    // its expected length
    std::string strongETag;      // "" without one, or with a weak one
    std::string resumeValidator; // the strong ETag or Last-Modified; "" when it cannot be resumed
};

// Whether a 206 is the rest of that body: it starts where the file ends, of
// the same complete length, and carries no other validator.
bool continuesBody(const UrlResponse& response, const BodyInFile& body, std::uint64_t resumeFrom)
{
    const std::optional<ContentRange> range = parseContentRange(response.headerField("Content-Range"));
    if (!range || range->first != resumeFrom)
        return false;
    if (range->completeLength && body.length >= 0 && *range->completeLength != static_cast<std::uint64_t>(body.length))
        return false;
    const std::string etag = response.headerField("ETag");
    if (!etag.empty() && !body.strongETag.empty() && !etagsMatchStrongly(etag, body.strongETag))
        return false;
    const std::string lastModified = response.headerField("Last-Modified");
    if (body.strongETag.empty() && !lastModified.empty() && lastModified != body.resumeValidator)
        return false;
    return true;
}

// A body that starts from zero with this response.
BodyInFile bodyOf(const UrlResponse& response)
{
    BodyInFile body;
    body.delivered = true;
    body.length = response.expectedContentLength;
    if (response.statusCode != 200)
        return body; // only the archive itself is worth resuming
    const std::string etag = response.headerField("ETag");
    if (!etag.empty() && !isWeakETag(etag)) {
        body.strongETag = etag;
        body.resumeValidator = etag;
    } else {
        body.resumeValidator = response.headerField("Last-Modified");
    }
    return body;
}

class CurlUrlDownload final : public UrlDownload, private CurlTransferClient {
public:
    CurlUrlDownload(EventLoop& loop, std::string url, UrlDownloadDelegate& delegate, const UrlDownloadOptions& options)
        : loop_(loop), url_(std::move(url)), delegate_(delegate), options_(options),
          attempts_(1 + std::clamp(options.retries, 0, 1000))
    {
    }

    ~CurlUrlDownload() override
    {
        cancel();
        *alive_ = false;
    }

    CurlUrlDownload(const CurlUrlDownload&) = delete;
    CurlUrlDownload& operator=(const CurlUrlDownload&) = delete;

    bool start() { return startAttempt(); }

    void setDestination(const std::string& path, bool allowOverwrite) override { file_.setPath(path, allowOverwrite); }
    void setDeletesFileUponFailure(bool deletes) override { file_.setRemovedUponFailure(deletes); }

    void cancel() override
    {
        if (state_ != State::Running)
            return;
        state_ = State::Cancelled;
        releaseTransfer(); // also the wait for the next attempt
        file_.discard();
    }

private:
    enum class State { Running, Finished, Failed, Challenged, Cancelled };

    bool transferReceivedBody(const char* data, std::size_t size, std::string& whyNot) override;
    void transferMayHaveNews() override { dispatch(); }

    bool startAttempt();
    void startAnotherAttempt();

    void dispatch();
    bool settleResponse();
    bool deliverResponse(const UrlResponse& response);
    bool reportNewBytes();
    void endAttempt();
    void retryLater(const std::string& reason, std::optional<double> serverDelay);
    void fetchAgainWithoutRange();
    void challenge();
    void deliverFailure(const std::string& description);
    void releaseTransfer();
    // Whether the download goes on after a delegate call, which may have
    // destroyed it: self is looked at only while alive.
    static bool goesOn(const std::shared_ptr<bool>& alive, const CurlUrlDownload* self)
    {
        return *alive && self->state_ == State::Running;
    }

    EventLoop& loop_;
    const std::string url_;
    UrlDownloadDelegate& delegate_;
    const UrlDownloadOptions options_;
    // Set to false when the object dies; whoever calls the delegate holds a
    // copy to notice that the call destroyed it.
    const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    State state_ = State::Running;
    DownloadFile file_;
    BodyInFile body_;

    // The attempts.
    const int attempts_;                  // at most this many in all
    int attempt_ = 1;                     // the current one, from 1
    std::optional<EventLoop::CallId> nextAttemptCall_;
    std::uint64_t resumeFrom_ = 0;        // this attempt asks for the body from here on (0: all of it)
    bool rangesRefused_ = false;          // the server could not resume once: it is not asked again

    // The current attempt.
    std::unique_ptr<CurlTransfer> transfer_;
    bool responseSettled_ = false;        // its answer has been looked at
    std::uint64_t unreportedBytes_ = 0;
};

bool CurlUrlDownload::startAttempt()
{
    responseSettled_ = false;
    CurlTransferRequest request;
    request.url = url_;
    // Once the caller has heard of an answer (and, say, dropped what it had
    // cached), "not modified" would mean nothing to it: asked for no more.
    if (!body_.delivered)
        request.ifNoneMatch = options_.ifNoneMatch;
    request.resumeFrom = resumeFrom_;
    request.resumeValidator = body_.resumeValidator;
    request.caBundlePath = options_.caBundlePath;
    request.idleSeconds = options_.idleTimeoutSeconds > 0 ? std::min(options_.idleTimeoutSeconds, 1e6) : 60.0;
    transfer_ = CurlTransfer::start(loop_, request, *this);
    return transfer_ != nullptr;
}

void CurlUrlDownload::startAnotherAttempt()
{
    if (state_ != State::Running)
        return;
    if (!startAttempt())
        deliverFailure("Cannot start the transfer again");
}

bool CurlUrlDownload::transferReceivedBody(const char* data, std::size_t size, std::string& whyNot)
{
    if (!file_.isOpen())
        return true; // the body of a 304 (there should be none) is not the file's
    if (!file_.append(data, size, whyNot))
        return false;
    unreportedBytes_ += size;
    if (options_.onBodyBytes)
        options_.onBodyBytes(data, size);
    return true;
}

void CurlUrlDownload::dispatch()
{
    if (state_ != State::Running || !transfer_)
        return;
    if (!responseSettled_ && !settleResponse())
        return;
    if (!reportNewBytes())
        return;
    if (transfer_->ended())
        endAttempt();
}

// Looks at the attempt's answer once it is ready. False when the download
// does not go on with this attempt's body: a challenge, a retry, a failure, or
// a delegate that cancelled or destroyed it.
bool CurlUrlDownload::settleResponse()
{
    if (transfer_->ended() && !transfer_->succeeded() && !transfer_->answerIsReady()
        && transfer_->proxyAskedForCredentials()) {
        challenge();
        return false;
    }
    if (!transfer_->answerIsReady())
        return true;
    responseSettled_ = true;
    const UrlResponse response = transfer_->response();
    const long status = response.statusCode;
    if (status == 401 || status == 407) {
        challenge();
        return false;
    }
    if (isTransientHttpStatus(status) && attempt_ < attempts_) {
        // Not delivered: the caller hears of the answer that ends the trying.
        std::optional<double> serverDelay;
        if (statusCarriesRetryAfter(status) && response.hasHeaderField("Retry-After"))
            serverDelay = retryAfterSeconds(response.headerField("Retry-After"), std::time(nullptr));
        retryLater("HTTP status " + std::to_string(status), serverDelay);
        return false;
    }
    const bool resumed = resumeFrom_ > 0 && status == 206 && continuesBody(response, body_, resumeFrom_);
    if (resumeFrom_ > 0 && !resumed && (status == 206 || status == 416)) {
        // A range the server cannot give, or a piece of something else.
        fetchAgainWithoutRange();
        return false;
    }
    // A resumed body simply follows what the file holds.
    if (!resumed && !deliverResponse(response))
        return false;
    transfer_->acceptBody();
    return true;
}

// An answer whose body starts from zero (a 200 to a range request included):
// whatever an earlier one left in the file goes before anybody hears of this
// one. A 304 writes nothing, and leaves the destination alone.
bool CurlUrlDownload::deliverResponse(const UrlResponse& response)
{
    file_.empty();
    body_ = bodyOf(response);
    const std::shared_ptr<bool> alive = alive_;
    delegate_.downloadDidReceiveResponse(*this, response);
    if (!goesOn(alive, this))
        return false;
    std::string whyNot;
    if (response.statusCode != 304 && !file_.isOpen() && !file_.open(whyNot)) {
        deliverFailure(whyNot);
        return false;
    }
    if (response.statusCode == 304)
        file_.close(); // what an earlier answer left was taken out
    return true;
}

bool CurlUrlDownload::reportNewBytes()
{
    if (unreportedBytes_ == 0)
        return true;
    const std::uint64_t length = std::exchange(unreportedBytes_, 0);
    const std::shared_ptr<bool> alive = alive_;
    delegate_.downloadDidReceiveDataOfLength(*this, length);
    return goesOn(alive, this);
}

void CurlUrlDownload::endAttempt()
{
    if (transfer_->succeeded()) {
        state_ = State::Finished;
        releaseTransfer();
        file_.close(); // the file is complete and closed before anyone hears of it
        delegate_.downloadDidFinish(*this);
        return;
    }
    const std::string description = transfer_->failureDescription();
    if (transfer_->failureMayPass() && attempt_ < attempts_)
        retryLater(description, std::nullopt);
    else
        deliverFailure(description);
}

// Ends this attempt and waits for the next. The file stays as it is: the next
// attempt asks for the rest of it when the body can be recognised again.
void CurlUrlDownload::retryLater(const std::string& reason, std::optional<double> serverDelay)
{
    releaseTransfer();
    const double delay = serverDelay ? *serverDelay : backoffSeconds(attempt_, retryJitter());
    const bool resumable = !rangesRefused_ && file_.size() > 0 && !body_.resumeValidator.empty();
    resumeFrom_ = resumable ? file_.size() : 0;
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
    file_.discard();
    delegate_.downloadDidReceiveAuthenticationChallenge(*this);
}

void CurlUrlDownload::deliverFailure(const std::string& description)
{
    state_ = State::Failed;
    releaseTransfer();
    file_.discard();
    delegate_.downloadDidFail(*this, UrlDownloadError{description, url_});
}

// Ends the current attempt's transfer, and the wait for the next one. The
// file is left open.
void CurlUrlDownload::releaseTransfer()
{
    transfer_.reset();
    if (nextAttemptCall_)
        loop_.cancelCall(*nextAttemptCall_);
    nextAttemptCall_.reset();
}

} // namespace

std::unique_ptr<UrlDownload> startUrlDownload(EventLoop& loop, const std::string& url, UrlDownloadDelegate& delegate,
                                              const UrlDownloadOptions& options, std::string* whyNot)
{
    std::string reason;
    if (CurlTransfer::canFetch(url, reason)) {
        auto download = std::make_unique<CurlUrlDownload>(loop, url, delegate, options);
        if (download->start())
            return download;
        reason = "the HTTP library cannot start a transfer";
    }
    if (whyNot)
        *whyNot = reason;
    return nullptr;
}
