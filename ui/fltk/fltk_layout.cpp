#include "ui/fltk/fltk_layout.h"

#include <cmath>

namespace {

// In points.
constexpr int margin = 12;
constexpr int barHeight = 16;
constexpr int gapBelowBar = 10;
constexpr int gapAboveButton = 8;
constexpr int buttonWidth = 96;
constexpr int buttonHeight = 28;
constexpr int statusFont = 13;
constexpr int statusLine = 17;
constexpr int detailFont = 12;
constexpr int detailLine = 15;
constexpr int buttonFont = 13;

} // namespace

WindowLayout layOutWindow(double scale, bool withPicture)
{
    if (!(scale >= 1.0))
        scale = 1.0;
    const auto px = [scale](int points) { return static_cast<int>(std::lround(points * scale)); };
    WindowLayout layout;
    layout.scale = scale;
    layout.statusFontSize = px(statusFont);
    layout.statusLineHeight = px(statusLine);
    layout.detailFontSize = px(detailFont);
    layout.detailLineHeight = px(detailLine);
    layout.buttonFontSize = px(buttonFont);

    const int left = px(margin);
    const int contentWidth = px(windowLayout::splashWidth);
    int y = px(margin);
    if (withPicture) {
        layout.picture = {left, y, contentWidth, px(windowLayout::splashHeight)};
        y += layout.picture.h + px(margin);
    }
    layout.bar = {left, y, contentWidth, px(barHeight)};
    y += layout.bar.h + px(gapBelowBar);
    layout.message = {left, y, contentWidth,
                      statusLines * layout.statusLineHeight + detailLines * layout.detailLineHeight};
    y += layout.message.h + px(gapAboveButton);
    layout.button = {left + contentWidth - px(buttonWidth), y, px(buttonWidth), px(buttonHeight)};
    y += layout.button.h + px(margin);
    layout.width = contentWidth + 2 * left;
    layout.height = y;
    return layout;
}
