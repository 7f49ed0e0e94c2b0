#pragma once

#include "platform/event_loop.h"
#include "ui/download_progress.h"
#include "ui/terminal/terminal_renderer.h"
#include "ui/transfer_speed.h"

#include <chrono>
#include <string>

struct TerminalControls;

// The download on a terminal: one line, redrawn in place, with the status
// text, a text bar and, while bytes arrive, how many, how fast and how long
// it will still take; before the response, whom it connects to. Redraws of
// mere progress come at most about ten a second; changes of state (another
// phase, text or colour, the end) are drawn at once, and a wait does not
// animate the bar. A failure (red) is drawn in red (unless colours are not
// wanted) and ends its line, so that it stays on the screen; at the end the
// line is erased, so that no frame of the download stays in the scrollback.
class InteractiveLine final : public TerminalRenderer {
public:
    InteractiveLine(EventLoop& loop, const TerminalControls& controls, bool colours);
    ~InteractiveLine() override;
    InteractiveLine(const InteractiveLine&) = delete;
    InteractiveLine& operator=(const InteractiveLine&) = delete;

    void statusTextChanged() override;
    void statusColorChanged() override;
    void barModeChanged() override;
    void barValueChanged() override { draw(false); }
    void animationChanged() override { updateAnimation(); }
    void downloadProgressChanged() override;
    void displayRequested(bool whole) override;
    void shown() override;
    void closed() override;

private:
    using Clock = std::chrono::steady_clock;

    // Draws now, or (not now, and the last draw was too recent) a little
    // later, so that the last state does show.
    void draw(bool now);
    void drawLine();
    // Draws the line over the one open, unless it is that very line.
    void drawFrame(const std::string& line);
    void drawFailure(const std::string& text);
    // Keeps the bouncing block's timer running exactly while it is seen.
    void updateAnimation();
    void cancel(EventLoop::CallId& call);
    // Erases a line left open, so that what comes next starts on a clean line.
    void eraseLine();

    EventLoop& loop_;
    const TerminalControls& controls_;
    const bool colours_;
    TransferSpeed speed_;
    DownloadProgress::Phase shownPhase_ = DownloadProgress::Phase::Idle; // of the line last drawn
    bool textIsPercentage_ = false; // the status text is the download's percentage
    bool lineOpen_ = false;         // a line without its newline is on the screen
    std::string redLineShown_;      // the failure text already printed in red
    std::string lastLine_;          // the last line drawn (without colour), to skip drawing it again
    Clock::time_point lastDraw_{};
    EventLoop::CallId pendingDraw_ = 0;
    EventLoop::CallId animationCall_ = 0;
    int animationStep_ = 0;
};
