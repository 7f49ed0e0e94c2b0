#include "ui/fltk/window_details.h"

#include "ui/fltk/fltk_widgets.h"
#include "ui/fltk/fltk_window_widgets.h"
#include "ui/fltk/x_connection.h"
#include "ui/progress_text.h"

namespace {

// Least time between two redraws of mere figures.
constexpr auto figuresInterval = std::chrono::milliseconds(250);
// Between the figures of the transfer.
const char* const factSeparator = "  \u00b7  ";

} // namespace

WindowDetails::WindowDetails(XConnection& connection, EventLoop& loop, MessageAreaWidget& message,
                             ProgressBarWidget& bar, CancelButtonWidget& button, FltkProgress& progress)
    : connection_(connection), loop_(loop), message_(message), bar_(bar), button_(button), progress_(progress)
{
}

WindowDetails::~WindowDetails()
{
    if (pendingShow_ != 0)
        loop_.cancelCall(pendingShow_);
}

void WindowDetails::progressChanged(const DownloadProgress& progress)
{
    latest_ = progress;
    // The speed is that of the transfer under way: it goes on through a
    // wait for the next attempt, and starts again with a new body.
    if (progress.phase == DownloadProgress::Phase::Downloading)
        speed_.add(Clock::now(), static_cast<double>(progress.bytesReceived));
    else if (!progress.transferring())
        speed_.clear();

    const bool samePhase = anyShown_ && progress.phase == shownPhase_;
    if (samePhase && Clock::now() - lastShown_ < figuresInterval) {
        if (pendingShow_ == 0)
            pendingShow_ = loop_.callLater(std::chrono::duration<double>(figuresInterval).count(), [this] {
                pendingShow_ = 0;
                show();
            });
        return;
    }
    show();
}

std::vector<std::string> WindowDetails::detailLines() const
{
    if (latest_.phase == DownloadProgress::Phase::Failed)
        return failureDetails(latest_);
    if (const std::string connecting = connectingText(latest_); !connecting.empty())
        return {connecting};
    const std::string facts = joinedFacts(transferFacts(latest_, speed_.bytesPerSecond()), factSeparator);
    if (!facts.empty())
        return {facts};
    return {};
}

void WindowDetails::show()
{
    if (pendingShow_ != 0)
        loop_.cancelCall(pendingShow_);
    pendingShow_ = 0;
    anyShown_ = true;
    shownPhase_ = latest_.phase;
    lastShown_ = Clock::now();

    using Phase = DownloadProgress::Phase;
    const bool failed = latest_.phase == Phase::Failed;
    progress_.pause(latest_.phase == Phase::WaitingForCache || latest_.phase == Phase::WaitingToRetry);
    const std::vector<std::string> lines = detailLines();
    connection_.guarded([this, failed, &lines] {
        message_.details(lines);
        bar_.failed(failed);
        button_.closeMode(failed);
    });
}
