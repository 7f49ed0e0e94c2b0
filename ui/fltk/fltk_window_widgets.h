#pragma once

// The FLTK widgets of the download window that draw themselves. This header
// stays apart from ui/widgets.h: its drawing code needs <FL/fl_draw.H>,
// which brings in Xlib, whose type Window collides with ours.

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Progress.H>

#include <string>
#include <vector>

struct WindowLayout;

// A progress bar that can also be indeterminate: then a block slides to and
// fro instead of a filled part, moved by the owner calling advance(). A
// failed bar is drawn in red, whatever it holds.
class ProgressBarWidget final : public Fl_Progress {
public:
    ProgressBarWidget(int x, int y, int w, int h);
    void indeterminate(bool on);
    // Moves the sliding block one step.
    void advance();
    void failed(bool on);

protected:
    void draw() override;

private:
    bool indeterminate_ = false;
    bool failed_ = false;
    int step_ = 0;
};

// The status text and, below it in a smaller grey face, the details: lines
// of their own (the figures of the transfer, or the reason for a failure
// and where to look). The status wraps onto a second line when it needs
// one, and is drawn a little smaller if that is not enough; what still does
// not fit is cut with an ellipsis, the whole text then being the tooltip.
// Each detail wraps too, leaving a line for each one after it. Texts are
// drawn as they are: no '@' symbols, no '&' shortcuts. The status's colour
// is the label colour.
class MessageAreaWidget final : public Fl_Box {
public:
    MessageAreaWidget(int x, int y, int w, int h);
    // Font sizes and line heights, from the window's layout.
    void metrics(const WindowLayout& layout);
    void status(const std::string& text);
    void details(const std::vector<std::string>& lines);

protected:
    void draw() override;

private:
    // Draws the status from the top; the height it took.
    int drawStatus(int left, int top, int width);
    void drawDetails(int left, int top, int width);

    std::string status_;
    std::vector<std::string> details_;
    int statusSize_ = 13;
    int smallestStatusSize_ = 11;
    int statusLineHeight_ = 17;
    int detailSize_ = 12;
    int detailLineHeight_ = 15;
};

// The cancel button. Its key equivalent may be Return, Escape or one
// character, or none. Return (and Space) press it only once the user has
// moved to it on purpose, with Tab, so that a key typed for another window
// does not cancel a download; it is then framed as the default button.
// After a failure it reads "Close", and Return presses it at once.
class CancelButtonWidget final : public Fl_Button {
public:
    CancelButtonWidget(int x, int y, int w, int h);
    void keyEquivalent(const std::string& key)
    {
        key_ = key;
        redraw();
    }
    void closeMode(bool on);
    int handle(int event) override;

protected:
    void draw() override;

private:
    bool returnPresses() const { return closeMode_ || armed_; }
    bool isReturn() const;
    bool matchesKeyEquivalent() const;
    void press();

    std::string key_;
    bool armed_ = false;
    bool closeMode_ = false;
};
