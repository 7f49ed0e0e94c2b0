#include "ui/fltk/fltk_widgets.h"

#include "provisioning/bundle_contents.h"
#include "ui/fltk/fltk_window_widgets.h"
#include "ui/fltk/x_connection.h"
#include "ui/picture_size.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_JPEG_Image.H>
#include <FL/Fl_PNG_Image.H>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Seconds between two steps of the sliding block.
constexpr double slideInterval = 0.04;

Fl_Color normalTextColor()
{
    return fl_rgb_color(0x20, 0x20, 0x20);
}

Fl_Color redTextColor()
{
    return fl_rgb_color(0xc0, 0x10, 0x10);
}

// The first bytes of a file, to tell its format.
std::string fileHead(const std::string& path, std::size_t length)
{
    std::string head(length, '\0');
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return {};
    head.resize(std::fread(head.data(), 1, length, file));
    std::fclose(file);
    return head;
}

// A length in points as pixels at the scale.
int pixelsOf(int points, double scale)
{
    return static_cast<int>(std::lround(points * scale));
}

// The text with line breaks and tabs turned into blanks.
std::string singleLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    return text;
}

} // namespace

// ---- FltkProgress ----

FltkProgress::FltkProgress(XConnection& connection, EventLoop& loop, ProgressBarWidget& bar)
    : connection_(connection)
    , loop_(loop)
    , bar_(bar)
{
}

FltkProgress::~FltkProgress()
{
    if (animationCall_ != 0)
        loop_.cancelCall(animationCall_);
}

void FltkProgress::modeChanged()
{
    const bool indeterminate = isIndeterminate();
    connection_.guarded([this, indeterminate] { bar_.indeterminate(indeterminate); });
    updateAnimation();
}

void FltkProgress::valueChanged()
{
    // Redraw only when the bar would look different.
    const long permille = std::lround(filledFraction() * 1000);
    if (permille == shownPermille_)
        return;
    shownPermille_ = permille;
    const float shown = static_cast<float>(permille) / 1000.0f;
    connection_.guarded([this, shown] { bar_.value(shown); });
}

void FltkProgress::pause(bool paused)
{
    if (paused == paused_)
        return;
    paused_ = paused;
    updateAnimation();
}

void FltkProgress::updateAnimation()
{
    const bool wanted = isAnimating() && isIndeterminate() && !paused_ && connection_.isOpen();
    if (wanted && animationCall_ == 0) {
        animationCall_ = loop_.callLater(slideInterval, [this] { animate(); });
    } else if (!wanted && animationCall_ != 0) {
        loop_.cancelCall(animationCall_);
        animationCall_ = 0;
    }
}

void FltkProgress::animate()
{
    animationCall_ = 0;
    // The loop's turn redraws (Fl::wait flushes before it waits again).
    connection_.guarded([this] { bar_.advance(); });
    updateAnimation();
}

void FltkProgress::displayIfNeeded()
{
    connection_.guarded([] { Fl::flush(); });
}

// ---- FltkImage ----

FltkImage::FltkImage(XConnection& connection, Fl_Box& box, int areaWidth, int areaHeight, double scale,
                     std::function<void()> shown)
    : connection_(connection)
    , box_(box)
    , areaWidth_(areaWidth)
    , areaHeight_(areaHeight)
    , scale_(scale)
    , shown_(std::move(shown))
{
}

FltkImage::~FltkImage()
{
    // Without the display it is left as it is: freeing it would talk to the
    // lost server.
    Fl_Image* const image = image_;
    if (image != nullptr)
        connection_.guarded([image] { delete image; });
}

bool FltkImage::showImageFromFile(const std::string& path, int width, int height)
{
    const std::string head = fileHead(path, 4);
    const bool png = head.size() == 4 && head.compare(0, 4, "\x89PNG") == 0;
    const bool jpeg = head.size() >= 3 && head.compare(0, 3, "\xFF\xD8\xFF") == 0;
    if (!png && !jpeg)
        return false;
    const std::optional<PictureSize> size = pictureSizeFromHeader(path);
    if (!size || size->pixels() == 0 || size->pixels() > splashPictureMaxPixels)
        return false;
    // The picture fits into width x height points, and into the picture area.
    const int fitWidth = std::min(width > 0 ? pixelsOf(width, scale_) : areaWidth_, areaWidth_);
    const int fitHeight = std::min(height > 0 ? pixelsOf(height, scale_) : areaHeight_, areaHeight_);

    bool shown = false;
    connection_.guarded([&] {
        Fl_RGB_Image* loaded = png ? static_cast<Fl_RGB_Image*>(new Fl_PNG_Image(path.c_str()))
                                   : static_cast<Fl_RGB_Image*>(new Fl_JPEG_Image(path.c_str()));
        if (loaded->fail() != 0 || loaded->w() <= 0 || loaded->h() <= 0) {
            delete loaded;
            return;
        }
        // Proportionally, up or down.
        const double scale = std::min(static_cast<double>(fitWidth) / loaded->w(),
                                      static_cast<double>(fitHeight) / loaded->h());
        const int scaledWidth = std::max(1, static_cast<int>(std::lround(loaded->w() * scale)));
        const int scaledHeight = std::max(1, static_cast<int>(std::lround(loaded->h() * scale)));
        Fl_Image::RGB_scaling(FL_RGB_SCALING_BILINEAR);
        Fl_Image* scaled = loaded->copy(scaledWidth, scaledHeight);
        delete loaded;
        Fl_Image* const previous = image_;
        image_ = scaled;
        box_.image(scaled);
        box_.redraw();
        delete previous;
        shown = true;
    });
    if (shown && shown_)
        shown_();
    return shown;
}

// ---- FltkStatusLine ----

FltkStatusLine::FltkStatusLine(XConnection& connection, MessageAreaWidget& widget)
    : connection_(connection)
    , widget_(widget)
{
    setTextColor(TextColor::Normal);
}

void FltkStatusLine::setUsesSingleLineMode(bool singleLine)
{
    singleLine_ = singleLine;
    showText();
}

void FltkStatusLine::setStringValue(const std::string& text)
{
    text_ = text;
    showText();
}

void FltkStatusLine::showText()
{
    // The line has room for one line only; more lines are joined whatever
    // the mode.
    const std::string shown = singleLine(text_);
    connection_.guarded([this, &shown] { widget_.status(shown); });
}

void FltkStatusLine::setTextColor(TextColor color)
{
    const Fl_Color shown = color == TextColor::Red ? redTextColor() : normalTextColor();
    connection_.guarded([this, shown] {
        widget_.labelcolor(shown);
        widget_.redraw();
    });
}

// ---- FltkButton ----

FltkButton::FltkButton(XConnection& connection, CancelButtonWidget& widget)
    : connection_(connection)
    , widget_(widget)
{
}

void FltkButton::setKeyEquivalent(const std::string& key)
{
    connection_.guarded([this, &key] { widget_.keyEquivalent(key); });
}

void FltkButton::setEnabled(bool enabled)
{
    enabled_ = enabled;
    connection_.guarded([this, enabled] {
        if (enabled)
            widget_.activate();
        else
            widget_.deactivate();
    });
}

// ---- FltkWindow ----

FltkWindow::FltkWindow(XConnection& connection, Fl_Double_Window& window)
    : connection_(connection)
    , window_(window)
{
}

void FltkWindow::show()
{
    if (closing_)
        return;
    connection_.guarded([this] {
        window_.show();
        Fl::flush();
    });
}

void FltkWindow::close()
{
    if (closing_)
        return; // also while the delegate is being told
    closing_ = true;
    if (delegate_ != nullptr)
        delegate_->windowWillClose();
    connection_.guarded([this] {
        window_.hide();
        Fl::flush();
    });
}

void FltkWindow::displayIfNeeded()
{
    connection_.guarded([this] {
        window_.redraw();
        Fl::flush();
    });
}

bool FltkWindow::hasUserToClose() const
{
    // Without the display nobody can close the window any more.
    return !connection_.lost();
}
