#pragma once

#include "platform/event_loop.h"
#include "ui/terminal/terminal_renderer.h"
#include "ui/transfer_speed.h"

#include <chrono>
#include <string>

struct TerminalControls;

// The download on a terminal: one line, redrawn in place, with the status
// text, a text bar and, while bytes arrive, how many, how fast and how long
// it will still take. Redraws of mere progress come at most about ten a
// second; changes of state (another text, another colour, the end) are drawn
// at once. A failure (red) is drawn in red and ends its line, so that it
// stays on the screen; so does a request to draw the whole window, which the
// controller makes before it blocks on work that may print (unpacking).
class InteractiveLine final : public TerminalRenderer {
public:
    InteractiveLine(EventLoop& loop, const TerminalControls& controls);
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
    void drawFailure(const std::string& text);
    // Keeps the bouncing block's timer running exactly while it is seen.
    void updateAnimation();
    void cancel(EventLoop::CallId& call);
    // Ends a line left open, so that what comes next starts on its own.
    void finishLine();

    EventLoop& loop_;
    const TerminalControls& controls_;
    TransferSpeed speed_;
    bool textIsPercentage_ = false; // the status text is the download's percentage
    bool lineOpen_ = false;         // a line without its newline is on the screen
    std::string redLineShown_;      // the failure text already printed in red
    std::string lastLine_;          // the last line drawn (without colour), to skip drawing it again
    Clock::time_point lastDraw_{};
    EventLoop::CallId pendingDraw_ = 0;
    EventLoop::CallId animationCall_ = 0;
    int animationStep_ = 0;
};
