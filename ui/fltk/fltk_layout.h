#pragma once

// Where the controls sit in the download window. The window has a fixed
// size, which depends on the screen's scale and on whether it shows a
// picture; without one it shrinks to its controls:
//
//   +--------------------------------+
//   |  picture area 400x400 points   |   (only with a picture)
//   +--------------------------------+
//   [=========progress bar==========]
//   status text (up to two lines)
//   details (up to three lines)
//                          [Cancel]

namespace windowLayout {

// The picture area in points: a splash picture is scaled to fit it.
constexpr int splashWidth = 400;
constexpr int splashHeight = 400;

} // namespace windowLayout

// A rectangle in pixels from the window's top left corner.
struct LayoutBox {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

struct WindowLayout {
    double scale = 1.0; // pixels per point
    int width = 0;
    int height = 0;
    LayoutBox picture; // empty without a picture
    LayoutBox bar;
    LayoutBox message; // the status text, then the details below it
    LayoutBox button;
    int statusFontSize = 0;
    int statusLineHeight = 0;
    int detailFontSize = 0;
    int detailLineHeight = 0;
    int buttonFontSize = 0;
};

// Lines of each kind the message area has room for.
inline constexpr int statusLines = 2;
inline constexpr int detailLines = 3;

// The layout at a scale (1: 96 dots per inch; taken as 1 when below or not
// a number), with or without the picture area. Sizes are rounded to whole
// pixels, every gap and control scaled alike.
WindowLayout layOutWindow(double scale, bool withPicture);
