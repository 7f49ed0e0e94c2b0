#include "ui/fltk/fltk_window_widgets.h"

#include "ui/fltk/fltk_layout.h"
#include "ui/text_wrap.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>

namespace {

// Steps of the sliding block: there and back again.
constexpr int slideSteps = 48;

// The status text is drawn down to this part of its size before it is cut.
constexpr double smallestStatusFraction = 11.0 / 13.0;

const char* const cancelLabel = "Cancel";
const char* const closeLabel = "Close";

Fl_Color accentColor()
{
    return fl_rgb_color(0x35, 0x84, 0xe4);
}

Fl_Color failureColor()
{
    return fl_rgb_color(0xc6, 0x28, 0x28);
}

Fl_Color detailColor()
{
    return fl_rgb_color(0x55, 0x55, 0x55);
}

// The text's width in the current font.
double currentFontWidth(std::string_view text)
{
    return fl_width(text.data(), static_cast<int>(text.size()));
}

// Draws one line of text in a row of the given height, vertically centred.
void drawLine(const std::string& text, int left, int top, int rowHeight)
{
    const int baseline = top + (rowHeight + fl_height()) / 2 - fl_descent();
    fl_draw(text.c_str(), static_cast<int>(text.size()), left, baseline);
}

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
    selection_color(accentColor());
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

void ProgressBarWidget::failed(bool on)
{
    if (on == failed_)
        return;
    failed_ = on;
    selection_color(on ? failureColor() : accentColor());
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

// ---- MessageAreaWidget ----

MessageAreaWidget::MessageAreaWidget(int x, int y, int w, int h)
    : Fl_Box(x, y, w, h)
{
    box(FL_FLAT_BOX);
    labelfont(FL_HELVETICA);
    labelcolor(FL_FOREGROUND_COLOR);
}

void MessageAreaWidget::metrics(const WindowLayout& layout)
{
    statusSize_ = layout.statusFontSize;
    smallestStatusSize_ = std::max(1, static_cast<int>(std::lround(statusSize_ * smallestStatusFraction)));
    statusLineHeight_ = layout.statusLineHeight;
    detailSize_ = layout.detailFontSize;
    detailLineHeight_ = layout.detailLineHeight;
    labelsize(statusSize_);
    redraw();
}

void MessageAreaWidget::status(const std::string& text)
{
    if (text == status_)
        return;
    status_ = text;
    redraw();
}

void MessageAreaWidget::details(const std::vector<std::string>& lines)
{
    if (lines == details_)
        return;
    details_ = lines;
    redraw();
}

void MessageAreaWidget::draw()
{
    draw_box();
    const int left = x() + 2;
    const int width = w() - 4;
    fl_push_clip(x(), y(), w(), h());
    const int used = drawStatus(left, y(), width);
    drawDetails(left, y() + used, width);
    fl_pop_clip();
}

int MessageAreaWidget::drawStatus(int left, int top, int width)
{
    if (status_.empty()) {
        if (tooltip() != nullptr)
            copy_tooltip(nullptr);
        return 0;
    }
    // The largest size at which the whole text fits, else the smallest, cut.
    WrappedText wrapped;
    for (int size = statusSize_; size >= smallestStatusSize_; --size) {
        fl_font(labelfont(), size);
        wrapped = wrapText(status_, width, statusLines, currentFontWidth);
        if (!wrapped.cut)
            break;
    }
    if (wrapped.cut && (tooltip() == nullptr || status_ != tooltip()))
        copy_tooltip(status_.c_str());
    else if (!wrapped.cut && tooltip() != nullptr)
        copy_tooltip(nullptr);

    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    for (const std::string& line : wrapped.lines) {
        drawLine(line, left, top, statusLineHeight_);
        top += statusLineHeight_;
    }
    return static_cast<int>(wrapped.lines.size()) * statusLineHeight_;
}

void MessageAreaWidget::drawDetails(int left, int top, int width)
{
    fl_font(labelfont(), detailSize_);
    fl_color(active_r() ? detailColor() : fl_inactive(detailColor()));
    int room = detailLines;
    for (std::size_t i = 0; i < details_.size() && room > 0; ++i) {
        // Each detail after this one keeps a line of its own.
        const int later = static_cast<int>(details_.size() - i - 1);
        const int lines = std::max(1, room - later);
        for (const std::string& line : wrapText(details_[i], width, lines, currentFontWidth).lines) {
            drawLine(line, left, top, detailLineHeight_);
            top += detailLineHeight_;
            --room;
        }
    }
}

// ---- CancelButtonWidget ----

CancelButtonWidget::CancelButtonWidget(int x, int y, int w, int h)
    : Fl_Button(x, y, w, h, cancelLabel)
{
    labelsize(13);
}

void CancelButtonWidget::closeMode(bool on)
{
    if (on == closeMode_)
        return;
    closeMode_ = on;
    label(on ? closeLabel : cancelLabel);
    if (on)
        activate();
    redraw();
}

bool CancelButtonWidget::isReturn() const
{
    return Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter;
}

bool CancelButtonWidget::matchesKeyEquivalent() const
{
    if (key_ == "\r" || key_ == "\n")
        return isReturn();
    if (key_ == "\x1b")
        return Fl::event_key() == FL_Escape;
    if (key_.size() == 1)
        return Fl::test_shortcut(static_cast<unsigned char>(key_[0])) != 0;
    return false;
}

void CancelButtonWidget::press()
{
    simulate_key_action();
    do_callback();
}

int CancelButtonWidget::handle(int event)
{
    // No widget of the window takes the keyboard focus: keys come to the
    // button as shortcuts.
    if (event != FL_SHORTCUT || !active_r())
        return Fl_Button::handle(event);
    if (Fl::event_key() == FL_Tab) {
        if (!armed_) {
            armed_ = true;
            redraw();
        }
        return 1;
    }
    if (isReturn() || Fl::event_key() == ' ') {
        if (!returnPresses())
            return 0;
        press();
        return 1;
    }
    if (!matchesKeyEquivalent())
        return 0;
    press();
    return 1;
}

void CancelButtonWidget::draw()
{
    Fl_Button::draw();
    if (returnPresses()) {
        // The default button, which Return presses: framed in the accent colour.
        fl_color(active_r() ? accentColor() : fl_inactive(accentColor()));
        fl_rect(x(), y(), w(), h());
        fl_rect(x() + 1, y() + 1, w() - 2, h() - 2);
    }
}
