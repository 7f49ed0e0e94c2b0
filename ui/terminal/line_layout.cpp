#include "ui/terminal/line_layout.h"

#include "ui/terminal/terminal_text.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int widestBar = 30;
constexpr int narrowestBar = 10;

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

std::string layOutLine(std::string status, std::string details, const TextBar& bar, int width)
{
    auto lineWidth = [&](int inner) {
        return (status.empty() ? 0 : displayWidth(status) + 1) + inner + 2 +
               (details.empty() ? 0 : 2 + displayWidth(details));
    };
    int inner = widestBar;
    while (inner > narrowestBar && lineWidth(inner) > width)
        --inner;
    if (lineWidth(inner) > width)
        details.clear();
    while (inner < widestBar && lineWidth(inner + 1) <= width)
        ++inner;
    if (lineWidth(inner) > width)
        status = cutToWidth(status, std::max(0, width - inner - 3));

    std::string line;
    if (!status.empty())
        line += status + " ";
    line += drawTextBar(bar, inner);
    if (!details.empty())
        line += "  " + details;
    return line;
}
