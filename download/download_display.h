#pragma once

#include "download/countdown.h"
#include "download/status_to_restore.h"
#include "platform/event_loop.h"
#include "platform/url_download.h"
#include "ui/download_progress.h"
#include "ui/widgets.h"

#include <cstdint>
#include <string>

// What the download window shows of the controller's work: the bar, the
// status line and the cancel button, and the same progress in numbers for
// the front end (DownloadProgressView), always reported before the text that
// goes with it. It reads the controller's outlets through references, since
// they are connected after the controller has been made. Waits are shown
// with the cancel button enabled, a retry's wait counted down on the loop.
class DownloadDisplay {
public:
    DownloadDisplay(EventLoop& loop, ProgressIndicator*& bar, StatusLine*& line, Button*& cancel,
                    DownloadProgressView*& view);

    const DownloadProgress& progress() const { return progress_; }

    // The request for the URL is out.
    void connecting(const std::string& url);
    // Another run holds the cache (true), or no longer (false). Cancel can be
    // pressed meanwhile, whatever it was before.
    void waitingForTheCache(bool waiting);
    // The length the response announced (-1: none), whether or not its body comes.
    void setTotalBytes(std::int64_t total) { progress_.totalBytes = total; }
    // A body starts, from zero: again after an earlier one that started over.
    void bodyStarts(bool again);
    void received(std::uint64_t length);
    // A retry's wait begins, counted down in the status line once a second;
    // it is over at the next event of the download.
    void retrying(const UrlDownloadRetry& retry);
    void retryOver();
    // The archive is complete, and its signature still on its way; cancel
    // still works.
    void checkingTheSignature();
    // The archive is complete: checked, unpacked and put in place from now on.
    void initializing();
    // Stops the bar full and shows the message in the colour; reason is what
    // the log got (empty: the message is all), explanation the same in plain
    // words for a person (empty: none better).
    void failed(const std::string& message, TextColor color, const std::string& reason = {},
                const std::string& explanation = {});
    void handedOff() { report(DownloadProgress::Phase::HandedOff); }

private:
    void report(DownloadProgress::Phase phase);
    // The bar busy with no end in sight, and the text.
    void archiveComplete(const char* text);
    void showForAWhile(StatusToRestore& before, DownloadProgress::Phase phase, const std::string& text);
    void restore(StatusToRestore& before);

    ProgressIndicator*& bar_;
    StatusLine*& line_;
    Button*& cancel_;
    DownloadProgressView*& view_;
    DownloadProgress progress_;
    Countdown retryCountdown_;
    StatusToRestore beforeWaiting_;
    StatusToRestore beforeRetry_;
};
