#include "download/download_display.h"

#include "download/status_texts.h"
#include "platform/http_response_head.h"
#include "platform/system_log.h"

DownloadDisplay::DownloadDisplay(EventLoop& loop, ProgressIndicator*& bar, StatusLine*& line, Button*& cancel,
                                 DownloadProgressView*& view)
    : bar_(bar), line_(line), cancel_(cancel), view_(view), retryCountdown_(loop)
{
    progress_.logName = systemLogIdentity();
}

void DownloadDisplay::report(DownloadProgress::Phase phase)
{
    progress_.phase = phase;
    if (view_ != nullptr)
        view_->downloadProgressChanged(progress_);
}

void DownloadDisplay::connecting(const std::string& url)
{
    progress_.url = url;
    progress_.host = hostOf(url);
    report(DownloadProgress::Phase::Connecting);
}

void DownloadDisplay::waitingForTheCache(bool waiting)
{
    if (!waiting) {
        restore(beforeWaiting_);
        return;
    }
    showForAWhile(beforeWaiting_, DownloadProgress::Phase::WaitingForCache, waitingForTheCacheText);
    if (cancel_ != nullptr)
        cancel_->setEnabled(true);
}

void DownloadDisplay::bodyStarts(bool again)
{
    progress_.bytesReceived = 0;
    if (again && bar_ != nullptr)
        bar_->setDoubleValue(0);
    report(DownloadProgress::Phase::Downloading);
    const bool lengthKnown = progress_.lengthKnown();
    if (bar_ != nullptr) {
        if (lengthKnown)
            bar_->setMaxValue(static_cast<double>(progress_.totalBytes));
        bar_->setIndeterminate(!lengthKnown);
        bar_->startAnimation();
    }
    if (lengthKnown && line_ != nullptr)
        line_->setStringValue(downloadingStatusText(0.0));
}

void DownloadDisplay::received(std::uint64_t length)
{
    progress_.bytesReceived += static_cast<std::int64_t>(length);
    report(DownloadProgress::Phase::Downloading);
    if (!progress_.lengthKnown()) {
        // The bar stays indeterminate; its value still counts the bytes, for
        // front ends that show them.
        if (bar_ != nullptr)
            bar_->incrementBy(static_cast<double>(length));
        return;
    }
    if (line_ != nullptr)
        line_->setStringValue(downloadingStatusText(*progress_.percentage()));
    if (bar_ != nullptr) {
        bar_->incrementBy(static_cast<double>(length));
        bar_->displayIfNeeded();
    }
}

void DownloadDisplay::retrying(const UrlDownloadRetry& retry)
{
    progress_.retry = retry;
    showForAWhile(beforeRetry_, DownloadProgress::Phase::WaitingToRetry, retryStatusText(retry));
    retryCountdown_.start(retry.delaySeconds, retryWaitSeconds(retry), [this, retry](long secondsLeft) {
        if (line_ != nullptr)
            line_->setStringValue(retryStatusText(retry, secondsLeft));
    });
}

void DownloadDisplay::retryOver()
{
    retryCountdown_.stop();
    restore(beforeRetry_);
}

void DownloadDisplay::checkingTheSignature()
{
    archiveComplete(checkingTheSignatureText);
}

void DownloadDisplay::initializing()
{
    archiveComplete(initializingText);
    if (cancel_ != nullptr)
        cancel_->setEnabled(false);
}

void DownloadDisplay::archiveComplete(const char* text)
{
    report(DownloadProgress::Phase::Initializing);
    if (line_ != nullptr)
        line_->setStringValue(text);
    if (bar_ != nullptr) {
        bar_->setIndeterminate(true);
        bar_->startAnimation();
    }
}

void DownloadDisplay::failed(const std::string& message, TextColor color, const std::string& reason,
                             const std::string& explanation)
{
    if (!reason.empty())
        progress_.failureReason = reason;
    if (!explanation.empty())
        progress_.failureExplanation = explanation;
    retryCountdown_.stop();
    report(DownloadProgress::Phase::Failed);
    if (bar_ != nullptr) {
        bar_->stopAnimation();
        bar_->setIndeterminate(false);
        bar_->setDoubleValue(bar_->maxValue());
    }
    if (line_ != nullptr) {
        line_->setStringValue(message);
        line_->setTextColor(color);
    }
}

void DownloadDisplay::showForAWhile(StatusToRestore& before, DownloadProgress::Phase phase, const std::string& text)
{
    before.keep(progress_.phase, line_, cancel_);
    report(phase);
    if (line_ != nullptr)
        line_->setStringValue(text);
}

void DownloadDisplay::restore(StatusToRestore& before)
{
    const std::optional<StatusToRestore::Status> status = before.take();
    if (!status)
        return;
    report(status->phase);
    if (status->text && line_ != nullptr)
        line_->setStringValue(*status->text);
    if (status->cancelEnabled && cancel_ != nullptr)
        cancel_->setEnabled(*status->cancelEnabled);
}
