#include "ui/terminal/line_layout.h"

#include "ui/terminal/terminal_text.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int widestBar = 30;
// A bar narrower than this tells nothing: the line goes without.
constexpr int narrowestBar = 4;

} // namespace

std::string drawTextBar(const TextBar& bar, int inner)
{
    std::string text(static_cast<std::size_t>(inner), '-');
    if (bar.indeterminate) {
        const int block = std::max(3, inner / 5);
        const int travel = inner - block;
        const int period = 2 * std::max(1, travel);
        const int along = bar.animationStep % period;
        const int offset = along <= travel ? along : period - along;
        std::fill_n(text.begin() + offset, block, '#');
    } else {
        std::fill_n(text.begin(), static_cast<int>(std::lround(bar.filled * inner)), '#');
    }
    return "[" + text + "]";
}

namespace {

// The columns of "status [bar]  details" with a bar of that inner width (0: none).
int lineWidth(const std::string& status, const std::string& details, int inner)
{
    int columns = displayWidth(status);
    if (inner > 0)
        columns += (columns > 0 ? 1 : 0) + inner + 2;
    if (!details.empty())
        columns += (columns > 0 ? 2 : 0) + displayWidth(details);
    return columns;
}

// The widest bar, from widestBar down to narrowestBar, with which the line
// fits; 0 when none does.
int widestFittingBar(const std::string& status, const std::string& details, int width)
{
    for (int inner = widestBar; inner >= narrowestBar; --inner)
        if (lineWidth(status, details, inner) <= width)
            return inner;
    return 0;
}

} // namespace

std::string layOutLine(std::string status, const std::vector<std::string>& detailChoices, const TextBar& bar,
                       int width)
{
    std::string details;
    int inner = widestFittingBar(status, "", width);
    for (const std::string& choice : detailChoices) {
        if (choice.empty())
            continue;
        const int withBar = widestFittingBar(status, choice, width);
        if (withBar > 0 || lineWidth(status, choice, 0) <= width) {
            details = choice;
            inner = withBar;
            break;
        }
    }
    if (details.empty() && inner == 0) {
        // Not even the narrowest bar fits beside the whole status: keep a bar, cut the status.
        inner = narrowestBar;
        status = cutToWidth(status, std::max(0, width - inner - 3));
    }

    std::string line = status;
    if (inner > 0)
        line += (line.empty() ? "" : " ") + drawTextBar(bar, inner);
    if (!details.empty())
        line += (line.empty() ? "" : "  ") + details;
    return line;
}
