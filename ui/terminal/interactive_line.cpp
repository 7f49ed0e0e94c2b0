#include "ui/terminal/interactive_line.h"

#include "ui/progress_text.h"
#include "ui/terminal/line_layout.h"
#include "ui/terminal/stderr_output.h"
#include "ui/terminal/terminal_controls.h"
#include "ui/terminal/terminal_text.h"

#include <algorithm>

namespace {

// Least time between two redraws of progress alone.
constexpr auto redrawInterval = std::chrono::milliseconds(100);
// Time between two steps of the bouncing bar.
constexpr double animationInterval = 0.1;

const char* const clearLine = "\r\x1b[K";
const char* const red = "\x1b[31m";
const char* const resetColor = "\x1b[0m";

} // namespace

InteractiveLine::InteractiveLine(EventLoop& loop, const TerminalControls& controls, bool colours)
    : loop_(loop)
    , controls_(controls)
    , colours_(colours)
{
}

InteractiveLine::~InteractiveLine()
{
    cancel(pendingDraw_);
    cancel(animationCall_);
    eraseLine();
}

void InteractiveLine::statusTextChanged()
{
    // One percentage after the other is progress, drawn at its own pace;
    // any other new text is drawn at once.
    const bool percentage = controls_.download.latest().showsPercentage();
    const bool progressOnly = textIsPercentage_ && percentage;
    textIsPercentage_ = percentage;
    draw(!progressOnly);
}

void InteractiveLine::statusColorChanged()
{
    if (controls_.status.color() != TextColor::Red)
        redLineShown_.clear();
    draw(true);
}

void InteractiveLine::barModeChanged()
{
    updateAnimation();
    draw(true);
}

void InteractiveLine::downloadProgressChanged()
{
    // The speed is that of the transfer under way: it goes on through a
    // wait for the next attempt, and starts again with a new body.
    const DownloadProgress& progress = controls_.download.latest();
    if (progress.phase == DownloadProgress::Phase::Downloading)
        speed_.add(Clock::now(), static_cast<double>(progress.bytesReceived));
    else if (!progress.transferring())
        speed_.clear();
    // A wait shows no moving bar: the line stays still until the wait is over.
    updateAnimation();
    draw(progress.phase != shownPhase_);
}

void InteractiveLine::displayRequested(bool whole)
{
    draw(whole);
}

void InteractiveLine::shown()
{
    updateAnimation();
    draw(true);
}

void InteractiveLine::closed()
{
    cancel(animationCall_);
    cancel(pendingDraw_);
    // What follows (the agent, the run's last line) starts on a clean line:
    // no frame of the download stays behind in the scrollback.
    eraseLine();
}

void InteractiveLine::updateAnimation()
{
    using Phase = DownloadProgress::Phase;
    const Phase phase = controls_.download.latest().phase;
    const bool waiting = phase == Phase::WaitingForCache || phase == Phase::WaitingToRetry;
    const bool wanted = controls_.progress.isAnimating() && controls_.progress.isIndeterminate() && !waiting &&
                        controls_.window.isShown();
    if (wanted && animationCall_ == 0) {
        animationCall_ = loop_.callLater(animationInterval, [this] {
            animationCall_ = 0;
            ++animationStep_;
            draw(true);
            updateAnimation();
        });
    } else if (!wanted) {
        cancel(animationCall_);
    }
}

void InteractiveLine::draw(bool now)
{
    if (!controls_.window.isShown())
        return;
    const Clock::time_point time = Clock::now();
    if (!now && lastDraw_ != Clock::time_point{} && time - lastDraw_ < redrawInterval) {
        if (pendingDraw_ == 0) {
            const double wait = std::chrono::duration<double>(lastDraw_ + redrawInterval - time).count();
            pendingDraw_ = loop_.callLater(wait, [this] {
                pendingDraw_ = 0;
                draw(true);
            });
        }
        return;
    }
    cancel(pendingDraw_);
    lastDraw_ = time;
    drawLine();
}

void InteractiveLine::drawLine()
{
    const DownloadProgress& progress = controls_.download.latest();
    shownPhase_ = progress.phase;
    const std::string text = printable(controls_.status.stringValue());
    if (controls_.status.color() == TextColor::Red) {
        drawFailure(text);
        return;
    }
    const int usable = std::max(20, terminalColumns() - 1); // the last column would wrap
    const ProgressBarValues& bar = controls_.progress;
    std::string line;
    if (const std::string connecting = connectingText(progress); text.empty() && !connecting.empty()) {
        line = cutToWidth(printable(connecting), usable);
    } else {
        const bool somethingToShow = !text.empty() || bar.isIndeterminate() || bar.doubleValue() > 0;
        if (!somethingToShow)
            return;
        const TransferFacts facts = transferFacts(progress, speed_.bytesPerSecond());
        const TextBar look{bar.isIndeterminate(), bar.filledFraction(), animationStep_};
        // A narrow terminal keeps the bytes and the time left longest.
        line = layOutLine(text,
                          {joinedFacts(facts, "  "), joinedFacts(facts, "  ", false), joinedFacts(facts, "  ", false, false)},
                          look, usable);
    }
    drawFrame(line);
}

void InteractiveLine::drawFrame(const std::string& line)
{
    if (line == lastLine_)
        return; // on the screen already (maybe on a finished line)
    lastLine_ = line;
    writeToStderr(clearLine + line);
    lineOpen_ = true;
}

void InteractiveLine::drawFailure(const std::string& text)
{
    if (text == redLineShown_)
        return;
    redLineShown_ = text;
    lastLine_.clear();
    // Not cut to the width: a failure is worth a second line.
    writeToStderr(colours_ ? std::string(clearLine) + red + text + resetColor + "\n" : clearLine + text + "\n");
    lineOpen_ = false;
}

void InteractiveLine::cancel(EventLoop::CallId& call)
{
    if (call != 0)
        loop_.cancelCall(call);
    call = 0;
}

void InteractiveLine::eraseLine()
{
    if (lineOpen_) {
        writeToStderr(clearLine);
        lineOpen_ = false;
        lastLine_.clear();
    }
}
