#pragma once

// Where the controls sit in the download window, in pixels from its top
// left corner. The window has a fixed size:
//
//   +--------------------------------+
//   |  splash picture area 400x400   |
//   |                                |
//   +--------------------------------+
//   [=========progress bar==========]
//   status line ...........  [Cancel]
namespace windowLayout {

constexpr int margin = 12;
constexpr int splashX = margin;
constexpr int splashY = margin;
constexpr int splashWidth = 400;
constexpr int splashHeight = 400;

constexpr int barX = margin;
constexpr int barY = splashY + splashHeight + margin;
constexpr int barWidth = splashWidth;
constexpr int barHeight = 16;

constexpr int rowY = barY + barHeight + 10;
constexpr int rowHeight = 28;
constexpr int buttonWidth = 96;
constexpr int buttonX = margin + splashWidth - buttonWidth;
constexpr int statusX = margin;
constexpr int statusWidth = buttonX - 10 - statusX;

constexpr int width = splashWidth + 2 * margin;
constexpr int height = rowY + rowHeight + margin;

} // namespace windowLayout
