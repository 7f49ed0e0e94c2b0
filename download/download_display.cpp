#include "download/download_display.h"

#include "download/status_texts.h"

DownloadDisplay::DownloadDisplay(ProgressIndicator*& bar, StatusLine*& line, Button*& cancel,
                                 DownloadProgressView*& view)
    : bar_(bar), line_(line), cancel_(cancel), view_(view)
{
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
    report(DownloadProgress::Phase::Connecting);
}

void DownloadDisplay::waitingForTheCache(bool waiting)
{
    if (waiting)
        showForAWhile(beforeWaiting_, DownloadProgress::Phase::WaitingForCache, waitingForTheCacheText);
    else
        restore(beforeWaiting_);
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
}

void DownloadDisplay::retryOver()
{
    restore(beforeRetry_);
}

void DownloadDisplay::initializing()
{
    report(DownloadProgress::Phase::Initializing);
    if (line_ != nullptr)
        line_->setStringValue(initializingText);
    if (bar_ != nullptr) {
        bar_->setIndeterminate(true);
        bar_->startAnimation();
    }
    if (cancel_ != nullptr)
        cancel_->setEnabled(false);
}

void DownloadDisplay::failed(const std::string& message, TextColor color, const std::string& reason,
                             const std::string& explanation)
{
    if (!reason.empty())
        progress_.failureReason = reason;
    if (!explanation.empty())
        progress_.failureExplanation = explanation;
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
    before.keep(progress_.phase, line_);
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
}
