#include "ui/terminal/plain_lines.h"

#include "ui/terminal/stderr_output.h"
#include "ui/terminal/terminal_controls.h"
#include "ui/terminal/terminal_text.h"

#include <cmath>

namespace {

// A percentage is printed only this many points above the last one printed
// (100% always is).
constexpr int plainPercentStep = 25;

} // namespace

void PlainLines::print()
{
    if (!controls_.window.isShown())
        return;
    const std::string text = printable(controls_.status.stringValue());
    if (text.empty() || text == lastPrinted_)
        return;
    const std::optional<int> percent = shownPercent();
    if (percent) {
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

std::optional<int> PlainLines::shownPercent() const
{
    const DownloadProgress& progress = controls_.download.latest();
    if (!progress.showsPercentage() || controls_.status.color() == TextColor::Red)
        return std::nullopt;
    // To the nearest, ties to even, as the status text's "%3.0f" rounds.
    const double rounded = std::nearbyint(*progress.percentage());
    if (!(rounded >= 0 && rounded < 1e9)) // not a number, or no percentage a person reads
        return std::nullopt;
    return static_cast<int>(rounded);
}
