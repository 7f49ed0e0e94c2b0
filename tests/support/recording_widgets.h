#pragma once

// A display-less stand-in for the download window: every control records
// what was done to it, in one shared journal, so a test can check the
// controller's texts and states and their order; the view of the
// download's progress keeps every report as well.

#include "platform/event_loop.h"
#include "platform/poll_event_loop.h"
#include "platform/url_download.h"
#include "ui/widgets.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct Journal {
    std::vector<std::string> entries;
    void add(std::string entry) { entries.push_back(std::move(entry)); }
    // The entry and a number, as short as it goes ("bar max 1000").
    void add(const std::string& entry, double number)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", number);
        add(entry + " " + text);
    }
};

class RecordingProgress : public ProgressIndicator {
public:
    explicit RecordingProgress(Journal& journal) : journal_(journal) {}
    void setUsesThreadedAnimation(bool threaded) override { threaded_ = threaded; }
    void setIndeterminate(bool indeterminate) override
    {
        indeterminate_ = indeterminate;
        journal_.add(indeterminate ? "bar indeterminate" : "bar determinate");
    }
    bool isIndeterminate() const override { return indeterminate_; }
    void setMaxValue(double maximum) override
    {
        max_ = maximum;
        journal_.add("bar max", maximum);
    }
    double maxValue() const override { return max_; }
    void setDoubleValue(double value) override
    {
        value_ = value;
        journal_.add("bar value", value);
    }
    double doubleValue() const override { return value_; }
    void incrementBy(double delta) override
    {
        value_ += delta;
        journal_.add("bar +", delta);
    }
    void startAnimation() override
    {
        animating_ = true;
        journal_.add("bar animating");
    }
    void stopAnimation() override
    {
        animating_ = false;
        journal_.add("bar still");
    }
    void displayIfNeeded() override { journal_.add("bar drawn"); }

    bool threaded_ = false;
    bool indeterminate_ = false;
    bool animating_ = false;
    double max_ = 100.0;
    double value_ = 0.0;

private:
    Journal& journal_;
};

class RecordingImage : public ImageView {
public:
    bool showImageFromFile(const std::string& path, int width, int height) override
    {
        shownPath = path;
        shownWidth = width;
        shownHeight = height;
        return true;
    }
    std::string shownPath;
    int shownWidth = 0;
    int shownHeight = 0;
};

class RecordingStatus : public StatusLine {
public:
    explicit RecordingStatus(Journal& journal) : journal_(journal) {}
    void setUsesSingleLineMode(bool singleLine) override { singleLine_ = singleLine; }
    void setStringValue(const std::string& text) override
    {
        text_ = text;
        journal_.add("status " + text);
    }
    std::string stringValue() const override { return text_; }
    void setTextColor(TextColor color) override
    {
        color_ = color;
        journal_.add(color == TextColor::Red ? "color red" : "color normal");
    }

    bool singleLine_ = false;
    std::string text_;
    TextColor color_ = TextColor::Normal;

private:
    Journal& journal_;
};

class RecordingButton : public Button {
public:
    explicit RecordingButton(Journal& journal) : journal_(journal) {}
    void setKeyEquivalent(const std::string& key) override { keyEquivalent = key; }
    void setEnabled(bool enabled) override
    {
        enabled_ = enabled;
        journal_.add(enabled ? "cancel enabled" : "cancel disabled");
    }
    bool isEnabled() const override { return enabled_; }
    std::string keyEquivalent;
    bool enabled_ = true;

private:
    Journal& journal_;
};

inline const char* phaseName(DownloadProgress::Phase phase)
{
    using Phase = DownloadProgress::Phase;
    switch (phase) {
    case Phase::Idle: return "idle";
    case Phase::WaitingForCache: return "waiting for the cache";
    case Phase::Connecting: return "connecting";
    case Phase::Downloading: return "downloading";
    case Phase::WaitingToRetry: return "waiting to retry";
    case Phase::Initializing: return "initializing";
    case Phase::Failed: return "failed";
    case Phase::HandedOff: return "handed off";
    }
    return "?";
}

// Journals each report as "progress <phase> <bytes>/<total>".
class RecordingProgressView : public DownloadProgressView {
public:
    explicit RecordingProgressView(Journal& journal) : journal_(journal) {}
    void downloadProgressChanged(const DownloadProgress& progress) override
    {
        reports.push_back(progress);
        journal_.add(std::string("progress ") + phaseName(progress.phase) + " " +
                     std::to_string(progress.bytesReceived) + "/" + std::to_string(progress.totalBytes));
    }
    std::vector<DownloadProgress> reports;

private:
    Journal& journal_;
};

class RecordingWindow : public Window {
public:
    RecordingWindow(Journal& journal, bool hasUser) : journal_(journal), hasUser_(hasUser) {}
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    void show() override { journal_.add("window shown"); }
    void close() override
    {
        if (closed)
            return;
        closed = true;
        journal_.add("window closed");
        if (delegate_ != nullptr)
            delegate_->windowWillClose();
    }
    void displayIfNeeded() override { journal_.add("window drawn"); }
    bool hasUserToClose() const override { return hasUser_; }

    bool closed = false;
    WindowDelegate* delegate_ = nullptr;

private:
    Journal& journal_;
    bool hasUser_;
};

// A window delegate that counts the calls, and does more if asked (closes
// the window again, stops the loop).
class CountingDelegate : public WindowDelegate {
public:
    explicit CountingDelegate(std::function<void()> also = {}) : also_(std::move(also)) {}
    void windowWillClose() override
    {
        ++calls;
        if (also_)
            also_();
    }
    int calls = 0;

private:
    std::function<void()> also_;
};

// A whole front end of recording controls on the real poll() loop.
class RecordingFrontEnd : public FrontEnd {
public:
    explicit RecordingFrontEnd(bool hasUserToClose = true)
        : loop_(createPollEventLoop())
        , progress_(journal)
        , status_(journal)
        , button_(journal)
        , window_(journal, hasUserToClose)
        , progressView_(journal)
    {
    }
    EventLoop& loop() override { return *loop_; }
    Window& window() override { return window_; }
    ProgressIndicator& progress() override { return progress_; }
    ImageView& image() override { return image_; }
    StatusLine& downloadPercent() override { return status_; }
    Button& cancel() override { return button_; }
    DownloadProgressView& progressView() override { return progressView_; }

    Journal journal;
    std::unique_ptr<EventLoop> loop_;
    RecordingProgress progress_;
    RecordingImage image_;
    RecordingStatus status_;
    RecordingButton button_;
    RecordingWindow window_;
    RecordingProgressView progressView_;
};

// A download that does nothing by itself: the test plays the server's part by
// calling the controller's delegate methods.
class ScriptedDownload : public UrlDownload {
public:
    struct Record {
        std::string url;
        std::string destination;
        bool allowOverwrite = false;
        bool deletesFileUponFailure = false;
        std::string ifNoneMatch;
        int cancels = 0;
        std::vector<BodyLimit> limits; // each limitBody(), in order
    };
    explicit ScriptedDownload(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    void setDestination(const std::string& path, bool allowOverwrite) override
    {
        record_->destination = path;
        record_->allowOverwrite = allowOverwrite;
    }
    void setDeletesFileUponFailure(bool deletes) override { record_->deletesFileUponFailure = deletes; }
    void cancel() override { ++record_->cancels; }
    void limitBody(const BodyLimit& limit) override { record_->limits.push_back(limit); }

private:
    std::shared_ptr<Record> record_;
};
