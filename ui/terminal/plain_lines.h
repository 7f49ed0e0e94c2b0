#pragma once

#include "ui/terminal/terminal_renderer.h"

#include <optional>
#include <string>

struct TerminalControls;

// The download as plain lines on stderr (a file or a pipe): each new status
// text on a line of its own once the window is shown, but of the
// percentages only one every few points (and the first to reach 100%): a
// log should not get a line for every chunk. No escapes, no redraws.
class PlainLines final : public TerminalRenderer {
public:
    explicit PlainLines(const TerminalControls& controls) : controls_(controls) {}

    void statusTextChanged() override { print(); }
    void statusColorChanged() override { print(); }
    void shown() override { print(); }

private:
    void print();
    // The percentage the status text shows, rounded as it is shown; nullopt
    // when the text is not the download's percentage.
    std::optional<int> shownPercent() const;

    const TerminalControls& controls_;
    std::string lastPrinted_;
    std::optional<int> lastPrintedPercent_;
};
