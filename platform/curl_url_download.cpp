// URL downloads on libcurl, in attempts: each attempt is a transfer of its
// own (curl_transfer.h), whose news this download looks at after curl has
// returned, and passes on to the delegate. That way the delegate may cancel
// or destroy the download from any of its calls.
//
// Between two attempts the download waits on a loop timer; the file stays
// open, so that an attempt can go on where the last one stopped (a range
// request) or start the body again from zero. When to try again and how long
// to wait is retry_policy's to say.

#include "platform/curl_url_download.h"

#include "platform/http_response_head.h"
#include "platform/retry_policy.h"
#include "platform/system_log.h"
#include "platform/url_hosts.h"

#include <algorithm>
#include <ctime>
#include <utility>

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
    request.userAgent = options_.userAgent;
    transfer_ = CurlTransfer::start(loop_, request, *this);
    return transfer_ != nullptr;
}

void CurlUrlDownload::startAnotherAttemptIn(double delay)
{
    nextAttemptCall_ = loop_.callLater(delay, [this] {
        nextAttemptCall_.reset();
        if (state_ == State::Running && !startAttempt())
            deliverFailure("Cannot start the transfer again");
    });
}

bool CurlUrlDownload::transferReceivedBody(const char* data, std::size_t size, std::string& whyNot)
{
    if (!file_.isOpen())
        return true; // the body of a 304 (there should be none) is not the file's
    if (!bodyStart_.holding())
        return writeBody(data, size, whyNot);
    return !bodyStart_.hold(data, size) || passBodyStart(whyNot);
}

bool CurlUrlDownload::writeBody(const char* data, std::size_t size, std::string& whyNot)
{
    if (!(whyNot = bodyLimit_.failureFor(file_.size() + size, -1)).empty())
        return false; // ends the transfer, and is not tried again
    if (!file_.append(data, size, whyNot))
        return false;
    unreportedBytes_ += size;
    if (options_.onBodyBytes)
        options_.onBodyBytes(data, size);
    return true;
}

// Judges the start of the body that has been held back: a refusal ends the
// transfer (and then the download, with the refusal); otherwise what was
// held goes to the file.
bool CurlUrlDownload::passBodyStart(std::string& whyNot)
{
    if (!bodyStart_.judge(whyNot))
        return false;
    const std::string held = bodyStart_.takeHeld();
    return writeBody(held.data(), held.size(), whyNot);
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
        challenge(true);
        return false;
    }
    if (!transfer_->answerIsReady())
        return true;
    responseSettled_ = true;
    const UrlResponse response = transfer_->response();
    const long status = response.statusCode;
    if (status == 401 || status == 407) {
        challenge(status == 407);
        return false;
    }
    if (isTransientHttpStatus(status) && attempt_ < attempts_) {
        // Not delivered: the caller hears of the answer that ends the trying.
        std::optional<double> serverDelay;
        if (statusCarriesRetryAfter(status) && response.hasHeaderField("Retry-After"))
            serverDelay = retryAfterSeconds(response.headerField("Retry-After"), std::time(nullptr));
        retryLater(serverBusy(status, hostOfUrl(response.url)), serverDelay);
        return false;
    }
    const bool resumed = resumeFrom_ > 0 && status == 206 && continuesBody(response, body_, resumeFrom_);
    if (resumeFrom_ > 0 && !resumed && (status == 206 || status == 416)) {
        // A range the server cannot give, or a piece of something else.
        fetchAgainWithoutRange();
        return false;
    }
    // A resumed body simply follows what the file holds.
    if (resumed)
        learnLengthFromTheRest(response, body_);
    else if (!deliverResponse(response))
        return false;
    if (!bodyFits())
        return false;
    transfer_->acceptBody();
    return true;
}

bool CurlUrlDownload::bodyFits()
{
    const std::string failure = bodyLimit_.failureFor(file_.size(), body_.length);
    if (!failure.empty())
        deliverFailure(failure);
    return failure.empty();
}

// An answer whose body starts from zero (a 200 to a range request included):
// whatever an earlier one left in the file goes before anybody hears of this
// one. A 304 writes nothing, and leaves the destination alone.
bool CurlUrlDownload::deliverResponse(const UrlResponse& response)
{
    file_.empty();
    body_ = bodyOf(response);
    bodyStart_.bodyStarts(response);
    const std::shared_ptr<bool> alive = alive_;
    delegate_.downloadDidReceiveResponse(*this, response);
    if (!goesOn(alive, this))
        return false;
    std::string whyNot;
    if (response.statusCode != 304 && !file_.isOpen() && !file_.open(whyNot)) {
        deliverFailure(whyNot);
        return false;
    }
    if (response.statusCode == 304) {
        file_.close(); // what an earlier answer left was taken out
        bodyStart_.noBody();
    }
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
    if (transfer_->succeeded())
        finishAttempt();
    else if (bodyStart_.refusal())
        deliverFailure(*bodyStart_.refusal());
    else
        failAttempt(transfer_->failure());
}

// The transfer ended well. The body is complete once a start held back for
// the check has passed it (a body this short is judged at its end), and once
// it has the length it was announced with: a connection-delimited answer
// may have been cut short.
void CurlUrlDownload::finishAttempt()
{
    std::string whyNot;
    if (file_.isOpen() && bodyStart_.holding() && !passBodyStart(whyNot)) {
        deliverFailure(bodyStart_.refusal().value_or(UrlDownloadError{whyNot, url_}));
        return;
    }
    if (!reportNewBytes())
        return;
    if (file_.isOpen() && !body_.completeAt(file_.size())) {
        failAttempt(bodyEndedEarly(file_.size(), body_.length, hostOfUrl(transfer_->response().url)));
        return;
    }
    state_ = State::Finished;
    releaseTransfer();
    file_.close(); // the file is complete and closed before anyone hears of it
    delegate_.downloadDidFinish(*this);
}

void CurlUrlDownload::failAttempt(const TransferFailure& failure)
{
    if (failure.mayPass && attempt_ < attempts_)
        retryLater(failure, std::nullopt);
    else
        deliverFailure(UrlDownloadError{failure.description, url_, failure.explanation});
}

// Ends this attempt and waits for the next. The file stays as it is: the next
// attempt asks for the rest of it when the body can be recognised again.
void CurlUrlDownload::retryLater(const TransferFailure& failure, std::optional<double> serverDelay)
{
    releaseTransfer();
    const double delay = serverDelay ? *serverDelay : backoffSeconds(attempt_, retryJitter());
    const bool resumable = !rangesRefused_ && file_.size() > 0 && !body_.resumeValidator.empty();
    resumeFrom_ = resumable ? file_.size() : 0;
    ++attempt_;
    const UrlDownloadRetry retry{failure.description, delay, attempt_, attempts_, failure.cause, failure.statusCode,
                                 failure.host};
    systemLog(retryNotice(retry), LOG_WARNING);
    startAnotherAttemptIn(delay);
    delegate_.downloadWillRetry(*this, retry); // may destroy this object: nothing may follow
}

// The answer to a range request did not fit the file: the same attempt asks
// once more, for the whole body, at once.
void CurlUrlDownload::fetchAgainWithoutRange()
{
    releaseTransfer();
    rangesRefused_ = true;
    resumeFrom_ = 0;
    startAnotherAttemptIn(0.0);
}

// Nothing can answer a challenge: the transfer ends here and the download
// waits to be cancelled. A body that an earlier answer left is of no use now.
void CurlUrlDownload::challenge(bool byProxy)
{
    const std::string proxy = byProxy ? transfer_->proxyHost() : std::string();
    state_ = State::Challenged;
    releaseTransfer();
    file_.discard();
    if (byProxy)
        delegate_.downloadDidReceiveProxyAuthenticationChallenge(*this, proxy);
    else
        delegate_.downloadDidReceiveAuthenticationChallenge(*this);
}

void CurlUrlDownload::deliverFailure(UrlDownloadError error)
{
    state_ = State::Failed;
    releaseTransfer();
    file_.discard();
    error.failingURL = url_;
    if (const std::string limitWords = bodyLimit_.explanationFor(error.localizedDescription); !limitWords.empty())
        error.explanation = limitWords;
    delegate_.downloadDidFail(*this, error);
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
