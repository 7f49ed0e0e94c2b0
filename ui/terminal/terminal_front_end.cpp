// The front ends without a window: the download shown on standard error,
// as one line redrawn in place on a terminal (InteractiveLine) or as plain
// lines in a file or a pipe (PlainLines), on the poll() loop.

#include "ui/front_end.h"

#include "platform/poll_event_loop.h"
#include "platform/stderr_terminal.h"
#include "ui/terminal/interactive_line.h"
#include "ui/terminal/plain_lines.h"
#include "ui/terminal/terminal_controls.h"

#include <memory>

namespace {

class TerminalFrontEnd final : public FrontEnd {
public:
    explicit TerminalFrontEnd(bool interactive);
    TerminalFrontEnd(const TerminalFrontEnd&) = delete;
    TerminalFrontEnd& operator=(const TerminalFrontEnd&) = delete;

    EventLoop& loop() override { return *loop_; }
    Window& window() override { return controls_.window; }
    ProgressIndicator& progress() override { return controls_.progress; }
    ImageView& image() override { return controls_.image; }
    StatusLine& downloadPercent() override { return controls_.status; }
    Button& cancel() override { return controls_.button; }
    DownloadProgressView& progressView() override { return controls_.download; }

private:
    std::unique_ptr<EventLoop> loop_; // first made, last gone: the renderer's timers run on it
    TerminalControls controls_;
    std::unique_ptr<TerminalRenderer> renderer_; // gone first: it finishes the line it left open
};

TerminalFrontEnd::TerminalFrontEnd(bool interactive)
    : loop_(createPollEventLoop())
{
    if (interactive)
        renderer_ = std::make_unique<InteractiveLine>(*loop_, controls_, coloursWanted());
    else
        renderer_ = std::make_unique<PlainLines>(controls_);
    controls_.connect(*renderer_);
}

} // namespace

std::unique_ptr<FrontEnd> createTerminalFrontEnd(bool interactive)
{
    return std::make_unique<TerminalFrontEnd>(interactive);
}
