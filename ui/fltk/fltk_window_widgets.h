#pragma once

// The FLTK widgets of the download window that draw themselves. This header
// stays apart from ui/widgets.h: its drawing code needs <FL/fl_draw.H>,
// which brings in Xlib, whose type Window collides with ours.

#include <FL/Fl_Box.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Return_Button.H>

#include <string>

// A progress bar that can also be indeterminate: then a block slides to and
// fro instead of a filled part, moved by the owner calling advance().
class ProgressBarWidget final : public Fl_Progress {
public:
    ProgressBarWidget(int x, int y, int w, int h);
    void indeterminate(bool on);
    // Moves the sliding block one step.
    void advance();

protected:
    void draw() override;

private:
    bool indeterminate_ = false;
    int step_ = 0;
};

// The status line: one line of text, left-aligned and clipped. A text too
// wide for the line is drawn a little smaller, and if that is not enough it
// is cut with an ellipsis, the whole text then being the tooltip. The text is
// drawn as it is: no '@' symbols, no '&' shortcuts.
class StatusLineWidget final : public Fl_Box {
public:
    StatusLineWidget(int x, int y, int w, int h);
    void text(const std::string& text);

protected:
    void draw() override;

private:
    std::string text_;
    std::string cut_; // what is drawn of a text too long (a member: nothing to destroy in draw())
};

// The cancel button. Its key equivalent may be Return (then it is framed as
// the default button, and acts like FLTK's return button), Escape or one
// character, or none.
class CancelButtonWidget final : public Fl_Return_Button {
public:
    CancelButtonWidget(int x, int y, int w, int h, const char* label);
    void keyEquivalent(const std::string& key) { key_ = key; redraw(); }
    int handle(int event) override;

protected:
    void draw() override;

private:
    bool matchesKeyEquivalent() const;
    std::string key_;
};
