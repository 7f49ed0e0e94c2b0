// The front ends without a window: the download shown on standard error.
//
// Interactive (stderr is a terminal): one line, redrawn in place, with the
// status text, a text bar and, while bytes arrive, how many, how fast and how
// long it will still take. Redraws of mere progress are limited to about ten
// a second; changes of state (another text, another colour, the end) are
// drawn at once. A failure (red) is drawn in red and ends its line, so that
// it stays on the screen. Window::displayIfNeeded, which the controller calls
// before it blocks on work that may print (unpacking), also ends the line.
//
// Plain (stderr is a file or a pipe): the status texts as lines of their
// own, and only a few of the "Downloading NN%" ones: a log should not get a
// line for every chunk.

#include "ui/front_end.h"
#include "ui/latest_download_progress.h"
#include "platform/poll_event_loop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Least time between two redraws of progress alone.
constexpr auto redrawInterval = std::chrono::milliseconds(100);
// Time between two steps of the bouncing bar.
constexpr double animationInterval = 0.1;
// Over how much of the recent past the speed is measured.
constexpr auto speedWindow = std::chrono::seconds(5);
// The speed is shown once it has been measured over this long at least.
constexpr auto shortestSpeedSpan = std::chrono::milliseconds(500);
// In plain mode, a percentage is printed only this many points above the
// last one printed (100% always is).
constexpr int plainPercentStep = 25;

constexpr int widestBar = 30;
constexpr int narrowestBar = 10;

const char* const clearLine = "\r\x1b[K";
const char* const red = "\x1b[31m";
const char* const resetColor = "\x1b[0m";

void writeToStderr(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to show it: nothing else to do
        done += static_cast<std::size_t>(written);
    }
}

int terminalColumns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// Characters on the screen of a UTF-8 text (one per code point).
int displayWidth(const std::string& text)
{
    int width = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++width;
    return width;
}

// The text cut to at most width characters, at a code point boundary.
std::string cutToWidth(const std::string& text, int width)
{
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == width)
                return text.substr(0, i);
            ++seen;
        }
    }
    return text;
}

// Control characters would break the line (or the terminal).
std::string printable(const std::string& text)
{
    std::string result = text;
    for (char& c : result)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return result;
}

std::string byteCount(double bytes)
{
    char text[32];
    // A unit goes up to 999.9, so that numbers keep to few digits.
    if (bytes < 1000)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 999.95 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    else if (bytes < 999.95 * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    else
        std::snprintf(text, sizeof text, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
    return text;
}

std::string duration(double seconds)
{
    const long whole = std::lround(std::ceil(seconds));
    char text[32];
    if (whole < 60)
        std::snprintf(text, sizeof text, "%ld s", whole);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %02ld min", whole / 3600, whole / 60 % 60);
    return text;
}

// The percentage of a "Downloading NN%" status text.
std::optional<int> downloadingPercent(const std::string& text)
{
    const std::string word = "Downloading ";
    if (text.compare(0, word.size(), word) != 0 || text.size() < word.size() + 2 || text.back() != '%')
        return std::nullopt;
    std::size_t i = word.size();
    while (i < text.size() && text[i] == ' ')
        ++i;
    const std::string number = text.substr(i, text.size() - 1 - i);
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoi(number);
}

class TerminalFrontEnd;

class TerminalProgress final : public ProgressIndicator {
public:
    explicit TerminalProgress(TerminalFrontEnd& owner) : owner_(owner) {}
    void setUsesThreadedAnimation(bool threaded) override { threaded_ = threaded; }
    void setIndeterminate(bool indeterminate) override;
    bool isIndeterminate() const override { return indeterminate_; }
    void setMaxValue(double maximum) override;
    double maxValue() const override { return maximum_; }
    void setDoubleValue(double value) override;
    double doubleValue() const override { return value_; }
    void incrementBy(double delta) override;
    void startAnimation() override;
    void stopAnimation() override;
    void displayIfNeeded() override;

    bool animating() const { return animating_; }
    // The value when the bar last became indeterminate: what came since is
    // what is being received without a known total.
    double valueAtIndeterminate() const { return valueAtIndeterminate_; }

private:
    TerminalFrontEnd& owner_;
    bool threaded_ = false; // kept: the bar is animated by loop timers
    bool indeterminate_ = false;
    bool animating_ = false;
    double maximum_ = 100.0;
    double value_ = 0.0;
    double valueAtIndeterminate_ = 0.0;
};

class TerminalImage final : public ImageView {
public:
    bool showImageFromFile(const std::string&, int, int) override { return false; }
};

class TerminalStatusLine final : public StatusLine {
public:
    explicit TerminalStatusLine(TerminalFrontEnd& owner) : owner_(owner) {}
    void setUsesSingleLineMode(bool singleLine) override { singleLine_ = singleLine; }
    void setStringValue(const std::string& text) override;
    std::string stringValue() const override { return text_; }
    void setTextColor(TextColor color) override;
    TextColor color() const { return color_; }

private:
    TerminalFrontEnd& owner_;
    std::string text_;
    bool singleLine_ = false; // a terminal line is a single line anyway
    TextColor color_ = TextColor::Normal;
};

class TerminalButton final : public Button {
public:
    void setKeyEquivalent(const std::string& key) override { key_ = key; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }

private:
    std::string key_;
    bool enabled_ = true;
};

class TerminalWindow final : public Window {
public:
    explicit TerminalWindow(TerminalFrontEnd& owner) : owner_(owner) {}
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    void show() override;
    void close() override;
    void displayIfNeeded() override;
    bool hasUserToClose() const override { return false; }

    bool shown() const { return shown_ && !closed_; }

private:
    TerminalFrontEnd& owner_;
    WindowDelegate* delegate_ = nullptr;
    bool shown_ = false;
    bool closing_ = false;
    bool closed_ = false;
};

class TerminalFrontEnd final : public FrontEnd {
public:
    explicit TerminalFrontEnd(bool interactive);
    ~TerminalFrontEnd() override;
    TerminalFrontEnd(const TerminalFrontEnd&) = delete;
    TerminalFrontEnd& operator=(const TerminalFrontEnd&) = delete;

    EventLoop& loop() override { return *loop_; }
    Window& window() override { return window_; }
    ProgressIndicator& progress() override { return progress_; }
    ImageView& image() override { return image_; }
    StatusLine& downloadPercent() override { return status_; }
    Button& cancel() override { return button_; }
    DownloadProgressView& progressView() override { return downloadProgress_; }

    // What the controls tell.
    void statusChanged(const std::string& previousText);
    void colorChanged();
    void progressModeChanged();
    void progressValueChanged();
    void animationChanged();
    void displayRequested(bool whole);
    void shown();
    void closed();

private:
    void draw(bool now);
    void drawLine();
    std::string barText(int inner) const;
    std::string detailsText() const;
    std::optional<double> speed() const;
    void updateAnimation();
    void printPlain();
    void finishLine();

    std::unique_ptr<EventLoop> loop_; // first made, last gone: the controls' timers run on it
    const bool interactive_;
    TerminalProgress progress_;
    TerminalImage image_;
    TerminalStatusLine status_;
    TerminalButton button_;
    TerminalWindow window_;
    LatestDownloadProgress downloadProgress_;

    // Interactive drawing.
    bool lineOpen_ = false;          // a line without its newline is on the screen
    std::string redLineShown_;       // the failure text already printed in red
    std::string lastLine_;           // the last line drawn (without colour), to skip drawing it again
    Clock::time_point lastDraw_{};
    EventLoop::CallId pendingDraw_ = 0;
    EventLoop::CallId animationCall_ = 0;
    int animationStep_ = 0;
    std::deque<std::pair<Clock::time_point, double>> samples_; // recent progress values

    // Plain printing.
    std::string lastPrinted_;
    std::optional<int> lastPrintedPercent_;
};

// ---- controls ----

void TerminalProgress::setIndeterminate(bool indeterminate)
{
    if (indeterminate == indeterminate_)
        return;
    indeterminate_ = indeterminate;
    if (indeterminate)
        valueAtIndeterminate_ = value_;
    owner_.progressModeChanged();
}

void TerminalProgress::setMaxValue(double maximum)
{
    maximum_ = maximum;
    owner_.progressValueChanged();
}

void TerminalProgress::setDoubleValue(double value)
{
    value_ = value;
    owner_.progressValueChanged();
}

void TerminalProgress::incrementBy(double delta)
{
    value_ += delta;
    owner_.progressValueChanged();
}

void TerminalProgress::startAnimation()
{
    animating_ = true;
    owner_.animationChanged();
}

void TerminalProgress::stopAnimation()
{
    animating_ = false;
    owner_.animationChanged();
}

void TerminalProgress::displayIfNeeded()
{
    owner_.displayRequested(false);
}

void TerminalStatusLine::setStringValue(const std::string& text)
{
    if (text == text_)
        return;
    const std::string previous = std::exchange(text_, text);
    owner_.statusChanged(previous);
}

void TerminalStatusLine::setTextColor(TextColor color)
{
    if (color == color_)
        return;
    color_ = color;
    owner_.colorChanged();
}

void TerminalWindow::show()
{
    if (shown_ || closing_)
        return;
    shown_ = true;
    owner_.shown();
}

void TerminalWindow::close()
{
    if (closing_)
        return; // also while the delegate is being told
    closing_ = true;
    if (delegate_ != nullptr)
        delegate_->windowWillClose();
    owner_.closed();
    closed_ = true;
}

void TerminalWindow::displayIfNeeded()
{
    owner_.displayRequested(true);
}

// ---- the front end ----

TerminalFrontEnd::TerminalFrontEnd(bool interactive)
    : loop_(createPollEventLoop())
    , interactive_(interactive)
    , progress_(*this)
    , status_(*this)
    , window_(*this)
{
}

TerminalFrontEnd::~TerminalFrontEnd()
{
    if (pendingDraw_ != 0)
        loop_->cancelCall(pendingDraw_);
    if (animationCall_ != 0)
        loop_->cancelCall(animationCall_);
    finishLine();
}

void TerminalFrontEnd::statusChanged(const std::string& previousText)
{
    if (!interactive_) {
        printPlain();
        return;
    }
    // One percentage after the other is progress, drawn at its own pace;
    // any other new text is drawn at once.
    const bool progressOnly = downloadingPercent(previousText) && downloadingPercent(status_.stringValue());
    draw(!progressOnly);
}

void TerminalFrontEnd::colorChanged()
{
    if (!interactive_) {
        printPlain();
        return;
    }
    if (status_.color() != TextColor::Red)
        redLineShown_.clear();
    draw(true);
}

void TerminalFrontEnd::progressModeChanged()
{
    samples_.clear();
    updateAnimation();
    if (interactive_)
        draw(true);
}

void TerminalFrontEnd::progressValueChanged()
{
    const Clock::time_point now = Clock::now();
    const double value = progress_.doubleValue();
    if (!samples_.empty() && value < samples_.back().second)
        samples_.clear(); // started again
    samples_.emplace_back(now, value);
    // Keep one sample older than the window, so that the span covers it.
    while (samples_.size() > 2 && now - samples_[1].first > speedWindow)
        samples_.pop_front();
    if (interactive_)
        draw(false);
}

void TerminalFrontEnd::animationChanged()
{
    updateAnimation();
}

void TerminalFrontEnd::displayRequested(bool whole)
{
    if (!interactive_)
        return;
    draw(whole);
    // The window is drawn at once when the caller is about to block (to
    // unpack, say); what the blocking work prints then starts on a line of
    // its own, below the state it is doing the work in.
    if (whole)
        finishLine();
}

void TerminalFrontEnd::shown()
{
    updateAnimation();
    if (interactive_)
        draw(true);
    else
        printPlain();
}

void TerminalFrontEnd::closed()
{
    if (animationCall_ != 0) {
        loop_->cancelCall(animationCall_);
        animationCall_ = 0;
    }
    if (interactive_)
        draw(true); // the last state, before the line is finished
    if (pendingDraw_ != 0) {
        loop_->cancelCall(pendingDraw_);
        pendingDraw_ = 0;
    }
    finishLine();
}

void TerminalFrontEnd::updateAnimation()
{
    const bool wanted = interactive_ && progress_.animating() && progress_.isIndeterminate() && window_.shown();
    if (wanted && animationCall_ == 0) {
        animationCall_ = loop_->callLater(animationInterval, [this] {
            animationCall_ = 0;
            ++animationStep_;
            draw(true);
            updateAnimation();
        });
    } else if (!wanted && animationCall_ != 0) {
        loop_->cancelCall(animationCall_);
        animationCall_ = 0;
    }
}

void TerminalFrontEnd::draw(bool now)
{
    if (!window_.shown())
        return;
    const Clock::time_point time = Clock::now();
    if (!now && lastDraw_ != Clock::time_point{} && time - lastDraw_ < redrawInterval) {
        // Too soon: drawn a little later, so that the last state does show.
        if (pendingDraw_ == 0) {
            const double wait = std::chrono::duration<double>(lastDraw_ + redrawInterval - time).count();
            pendingDraw_ = loop_->callLater(wait, [this] {
                pendingDraw_ = 0;
                draw(true);
            });
        }
        return;
    }
    if (pendingDraw_ != 0) {
        loop_->cancelCall(pendingDraw_);
        pendingDraw_ = 0;
    }
    lastDraw_ = time;
    drawLine();
}

void TerminalFrontEnd::drawLine()
{
    const std::string text = printable(status_.stringValue());
    const int usable = std::max(20, terminalColumns() - 1); // the last column would wrap

    if (status_.color() == TextColor::Red) {
        if (text == redLineShown_)
            return;
        redLineShown_ = text;
        lastLine_.clear();
        // Not cut to the width: a failure is worth a second line.
        writeToStderr(std::string(clearLine) + red + text + resetColor + "\n");
        lineOpen_ = false;
        return;
    }

    const bool somethingToShow = !text.empty() || progress_.isIndeterminate() || progress_.doubleValue() > 0;
    if (!somethingToShow)
        return;

    std::string status = text;
    std::string details = detailsText();
    auto lineWidth = [&](int inner) {
        return (status.empty() ? 0 : displayWidth(status) + 1) + inner + 2 +
               (details.empty() ? 0 : 2 + displayWidth(details));
    };
    int inner = widestBar;
    while (inner > narrowestBar && lineWidth(inner) > usable)
        --inner;
    if (lineWidth(inner) > usable)
        details.clear();
    while (inner < widestBar && lineWidth(inner + 1) <= usable)
        ++inner;
    if (lineWidth(inner) > usable)
        status = cutToWidth(status, std::max(0, usable - inner - 3));

    std::string line;
    if (!status.empty())
        line += status + " ";
    line += barText(inner);
    if (!details.empty())
        line += "  " + details;
    if (line == lastLine_)
        return; // on the screen already (maybe on a finished line)
    lastLine_ = line;
    writeToStderr(clearLine + line);
    lineOpen_ = true;
}

std::string TerminalFrontEnd::barText(int inner) const
{
    std::string bar(static_cast<std::size_t>(inner), '-');
    if (progress_.isIndeterminate()) {
        // A block going to and fro.
        const int block = std::max(3, inner / 5);
        const int travel = inner - block;
        const int period = 2 * std::max(1, travel);
        const int along = animationStep_ % period;
        const int offset = along <= travel ? along : period - along;
        std::fill_n(bar.begin() + offset, block, '#');
    } else {
        const double maximum = progress_.maxValue();
        double fraction = maximum > 0 ? progress_.doubleValue() / maximum : 0.0;
        if (!(fraction > 0))
            fraction = 0;
        fraction = std::min(fraction, 1.0);
        std::fill_n(bar.begin(), static_cast<int>(std::lround(fraction * inner)), '#');
    }
    return "[" + bar + "]";
}

std::optional<double> TerminalFrontEnd::speed() const
{
    if (samples_.size() < 2)
        return std::nullopt;
    const auto span = samples_.back().first - samples_.front().first;
    if (span < shortestSpeedSpan)
        return std::nullopt;
    const double seconds = std::chrono::duration<double>(span).count();
    return (samples_.back().second - samples_.front().second) / seconds;
}

std::string TerminalFrontEnd::detailsText() const
{
    const double value = progress_.doubleValue();
    const std::optional<double> bytesPerSecond = speed();
    std::string details;
    if (progress_.isIndeterminate()) {
        // The total is unknown; what arrives is still counted.
        if (value <= progress_.valueAtIndeterminate() || value <= 0)
            return {};
        details = byteCount(value);
        if (bytesPerSecond && *bytesPerSecond > 0)
            details += "  " + byteCount(*bytesPerSecond) + "/s";
        return details;
    }
    const double maximum = progress_.maxValue();
    if (value <= 0 || maximum <= 0)
        return {};
    details = byteCount(value) + " / " + byteCount(maximum);
    if (bytesPerSecond && *bytesPerSecond > 0) {
        details += "  " + byteCount(*bytesPerSecond) + "/s";
        if (value < maximum)
            details += "  " + duration((maximum - value) / *bytesPerSecond) + " left";
    }
    return details;
}

void TerminalFrontEnd::printPlain()
{
    if (!window_.shown())
        return;
    const std::string text = printable(status_.stringValue());
    if (text.empty() || text == lastPrinted_)
        return;
    const std::optional<int> percent = downloadingPercent(text);
    if (percent && status_.color() != TextColor::Red) {
        const bool reachesTheEnd = *percent >= 100 && (!lastPrintedPercent_ || *lastPrintedPercent_ < 100);
        if (lastPrintedPercent_ && *percent < *lastPrintedPercent_ + plainPercentStep && !reachesTheEnd)
            return;
        lastPrintedPercent_ = percent;
    } else {
        lastPrintedPercent_.reset();
    }
    lastPrinted_ = text;
    writeToStderr(text + "\n");
}

void TerminalFrontEnd::finishLine()
{
    if (lineOpen_) {
        writeToStderr("\n");
        lineOpen_ = false;
    }
}

} // namespace

std::unique_ptr<FrontEnd> createTerminalFrontEnd(bool interactive)
{
    return std::make_unique<TerminalFrontEnd>(interactive);
}
