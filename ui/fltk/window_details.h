#pragma once

#include "platform/event_loop.h"
#include "ui/download_progress.h"
#include "ui/transfer_speed.h"

#include <chrono>
#include <string>
#include <vector>

class CancelButtonWidget;
class FltkProgress;
class MessageAreaWidget;
class ProgressBarWidget;
class XConnection;

// What the window shows of the download beside the controller's own
// controls, from its progress in numbers: the details below the status
// (whom it connects to; bytes, speed and time left; for a failure the
// reason in plain words and where to look), a failure's look (the bar in
// red, the button turned into Close), and a sliding bar that stands still
// while the run waits. Figures are redrawn a few times a second at most.
class WindowDetails {
public:
    WindowDetails(XConnection& connection, EventLoop& loop, MessageAreaWidget& message, ProgressBarWidget& bar,
                  CancelButtonWidget& button, FltkProgress& progress);
    ~WindowDetails();
    WindowDetails(const WindowDetails&) = delete;
    WindowDetails& operator=(const WindowDetails&) = delete;

    // After each report of the download's progress.
    void progressChanged(const DownloadProgress& progress);

private:
    using Clock = std::chrono::steady_clock;
    void show();
    std::vector<std::string> detailLines() const;

    XConnection& connection_;
    EventLoop& loop_;
    MessageAreaWidget& message_;
    ProgressBarWidget& bar_;
    CancelButtonWidget& button_;
    FltkProgress& progress_;
    DownloadProgress latest_;
    TransferSpeed speed_;
    bool anyShown_ = false;
    DownloadProgress::Phase shownPhase_ = DownloadProgress::Phase::Idle;
    Clock::time_point lastShown_{};
    EventLoop::CallId pendingShow_ = 0;
};
