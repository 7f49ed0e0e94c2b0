#include "ui/fltk/fltk_window_widgets.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>

namespace {

// Steps of the sliding block: there and back again.
constexpr int slideSteps = 48;

constexpr int statusFontSize = 13;
constexpr int smallestStatusFontSize = 11;
const char* const ellipsis = "\xE2\x80\xA6";

} // namespace

// ---- ProgressBarWidget ----

ProgressBarWidget::ProgressBarWidget(int x, int y, int w, int h)
    : Fl_Progress(x, y, w, h)
{
    minimum(0.0f);
    maximum(1.0f);
    value(0.0f);
    box(FL_THIN_DOWN_BOX);
    color(fl_rgb_color(0xfa, 0xfa, 0xfa));
    selection_color(fl_rgb_color(0x35, 0x84, 0xe4));
}

void ProgressBarWidget::indeterminate(bool on)
{
    if (indeterminate_ == on)
        return;
    indeterminate_ = on;
    step_ = 0;
    redraw();
}

void ProgressBarWidget::advance()
{
    step_ = (step_ + 1) % slideSteps;
    if (indeterminate_)
        redraw();
}

void ProgressBarWidget::draw()
{
    if (!indeterminate_) {
        Fl_Progress::draw();
        return;
    }
    draw_box(box(), x(), y(), w(), h(), color());
    const int innerX = x() + Fl::box_dx(box());
    const int innerY = y() + Fl::box_dy(box());
    const int innerW = w() - Fl::box_dw(box());
    const int innerH = h() - Fl::box_dh(box());
    const int block = std::max(8, innerW / 4);
    const int travel = std::max(0, innerW - block);
    // A triangle wave over the steps: 0 .. travel .. 0.
    const int half = slideSteps / 2;
    const int along = step_ < half ? step_ : slideSteps - step_;
    const int offset = travel * along / half;
    fl_push_clip(innerX, innerY, innerW, innerH);
    fl_rectf(innerX + offset, innerY, block, innerH, selection_color());
    fl_pop_clip();
}

// ---- StatusLineWidget ----

StatusLineWidget::StatusLineWidget(int x, int y, int w, int h)
    : Fl_Box(x, y, w, h)
{
    box(FL_FLAT_BOX);
    labelfont(FL_HELVETICA);
    labelsize(statusFontSize);
    labelcolor(FL_FOREGROUND_COLOR);
}

void StatusLineWidget::text(const std::string& text)
{
    if (text == text_)
        return;
    text_ = text;
    redraw();
}

void StatusLineWidget::draw()
{
    draw_box();
    const int left = x() + 2;
    const int width = w() - 4;

    int size = statusFontSize;
    fl_font(labelfont(), size);
    while (size > smallestStatusFontSize && fl_width(text_.c_str()) > width)
        fl_font(labelfont(), --size);

    const char* shown = text_.c_str();
    if (fl_width(text_.c_str()) > width) {
        // Cut at a character boundary so that the rest and the ellipsis fit.
        const double room = width - fl_width(ellipsis);
        std::size_t length = text_.size();
        while (length > 0 && fl_width(text_.c_str(), static_cast<int>(length)) > room) {
            --length;
            while (length > 0 && (static_cast<unsigned char>(text_[length]) & 0xC0) == 0x80)
                --length;
        }
        cut_.assign(text_, 0, length);
        cut_ += ellipsis;
        shown = cut_.c_str();
        if (tooltip() == nullptr || text_ != tooltip())
            copy_tooltip(text_.c_str());
    } else if (tooltip() != nullptr) {
        copy_tooltip(nullptr);
    }

    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_push_clip(x(), y(), w(), h());
    const int baseline = y() + (h() + fl_height()) / 2 - fl_descent();
    fl_draw(shown, left, baseline);
    fl_pop_clip();
}

// ---- CancelButtonWidget ----

CancelButtonWidget::CancelButtonWidget(int x, int y, int w, int h, const char* label)
    : Fl_Return_Button(x, y, w, h, label)
{
    labelsize(13);
}

bool CancelButtonWidget::matchesKeyEquivalent() const
{
    if (key_ == "\r" || key_ == "\n")
        return Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter;
    if (key_ == "\x1b")
        return Fl::event_key() == FL_Escape;
    if (key_.size() == 1)
        return Fl::test_shortcut(static_cast<unsigned char>(key_[0])) != 0;
    return false;
}

int CancelButtonWidget::handle(int event)
{
    if (event == FL_SHORTCUT) {
        // Only the key equivalent, not the Return that Fl_Return_Button
        // would take whatever it is.
        if (!active_r() || !matchesKeyEquivalent())
            return 0;
        simulate_key_action();
        do_callback();
        return 1;
    }
    return Fl_Button::handle(event);
}

void CancelButtonWidget::draw()
{
    Fl_Button::draw();
    if (key_ == "\r" || key_ == "\n") {
        // The default button, which Return presses: framed in the accent colour.
        const Fl_Color frame = fl_rgb_color(0x35, 0x84, 0xe4);
        fl_color(active_r() ? frame : fl_inactive(frame));
        fl_rect(x(), y(), w(), h());
        fl_rect(x() + 1, y() + 1, w() - 2, h() - 2);
    }
}
