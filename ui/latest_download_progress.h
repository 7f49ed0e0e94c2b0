#pragma once

#include "ui/widgets.h"

#include <functional>
#include <utility>

// The view of the download's progress that a front end keeps: the last
// state reported, read whenever the front end draws, and an optional
// listener told of each report.
class LatestDownloadProgress final : public DownloadProgressView {
public:
    // Called after each report, with latest() already the new state.
    void setListener(std::function<void()> listener) { listener_ = std::move(listener); }

    void downloadProgressChanged(const DownloadProgress& progress) override
    {
        latest_ = progress;
        if (listener_)
            listener_();
    }

    const DownloadProgress& latest() const { return latest_; }

private:
    DownloadProgress latest_;
    std::function<void()> listener_;
};
