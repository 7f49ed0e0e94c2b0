#include "support/controller_script.h"

#include "download/download_controller.h"
#include "download/status_texts.h"
#include "platform/http_response_head.h"
#include "platform/system_log.h"

namespace testsupport {

ControllerScript::ControllerScript(FrontEnd& frontEnd) : frontEnd_(frontEnd)
{
    progress_.logName = systemLogIdentity();
}

void ControllerScript::setUp(WindowDelegate& delegate)
{
    frontEnd_.progress().setDoubleValue(0);
    frontEnd_.progress().setUsesThreadedAnimation(true);
    frontEnd_.downloadPercent().setUsesSingleLineMode(true);
    frontEnd_.cancel().setKeyEquivalent("\r");
    frontEnd_.window().setDelegate(&delegate);
}

void ControllerScript::connect(const std::string& url)
{
    progress_.url = url;
    progress_.host = hostOf(url);
    report(DownloadProgress::Phase::Connecting);
}

void ControllerScript::respond(std::int64_t length)
{
    progress_.totalBytes = length;
    progress_.bytesReceived = 0;
    report(DownloadProgress::Phase::Downloading);
    ProgressIndicator& bar = frontEnd_.progress();
    if (length != -1)
        bar.setMaxValue(static_cast<double>(length));
    bar.setIndeterminate(length == -1);
    bar.startAnimation();
    if (length != -1)
        frontEnd_.downloadPercent().setStringValue(downloadingStatusText(0.0));
}

void ControllerScript::receive(std::int64_t bytes)
{
    progress_.bytesReceived += bytes;
    report(DownloadProgress::Phase::Downloading);
    ProgressIndicator& bar = frontEnd_.progress();
    if (!progress_.lengthKnown()) {
        bar.incrementBy(static_cast<double>(bytes));
        return;
    }
    frontEnd_.downloadPercent().setStringValue(downloadingStatusText(*progress_.percentage()));
    bar.incrementBy(static_cast<double>(bytes));
    bar.displayIfNeeded();
}

void ControllerScript::finish()
{
    report(DownloadProgress::Phase::Initializing);
    frontEnd_.downloadPercent().setStringValue(initializingText);
    frontEnd_.progress().setIndeterminate(true);
    frontEnd_.progress().startAnimation();
    frontEnd_.cancel().setEnabled(false);
    frontEnd_.window().displayIfNeeded();
}

void ControllerScript::fail(const std::string& message, const std::string& reason, const std::string& explanation)
{
    progress_.failureReason = reason;
    progress_.failureExplanation = explanation;
    report(DownloadProgress::Phase::Failed);
    ProgressIndicator& bar = frontEnd_.progress();
    bar.stopAnimation();
    bar.setIndeterminate(false);
    bar.setDoubleValue(bar.maxValue());
    frontEnd_.downloadPercent().setStringValue(message);
    frontEnd_.downloadPercent().setTextColor(TextColor::Red);
}

void ControllerScript::report(DownloadProgress::Phase phase)
{
    progress_.phase = phase;
    frontEnd_.progressView().downloadProgressChanged(progress_);
}

} // namespace testsupport
