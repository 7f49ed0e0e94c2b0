#pragma once

#include "platform/event_loop.h"
#include "ui/progress_bar_values.h"
#include "ui/widgets.h"

#include <functional>
#include <string>

class CancelButtonWidget;
class Fl_Box;
class Fl_Double_Window;
class Fl_Image;
class MessageAreaWidget;
class ProgressBarWidget;
class XConnection;

// The controls as the controller sees them, on top of the FLTK widgets.
// Every call into FLTK goes through XConnection::guarded(); once the display
// is lost they keep their state and draw nothing.

class FltkProgress final : public ProgressBarValues {
public:
    FltkProgress(XConnection& connection, EventLoop& loop, ProgressBarWidget& bar);
    ~FltkProgress() override;
    void displayIfNeeded() override;
    // A sliding block stands still while paused (the run waits: nothing to
    // redraw twenty-five times a second).
    void pause(bool paused);

private:
    void modeChanged() override;
    void valueChanged() override;
    void animationChanged() override { updateAnimation(); }
    void updateAnimation();
    void animate();

    XConnection& connection_;
    EventLoop& loop_;
    ProgressBarWidget& bar_;
    long shownPermille_ = -1;
    EventLoop::CallId animationCall_ = 0;
    bool paused_ = false;
};

// The picture, in points scaled to the window's pixels. A file whose header
// announces more than splashPictureMaxPixels is never decoded.
class FltkImage final : public ImageView {
public:
    // The box's size once it shows a picture, in pixels; shown() is called
    // after a picture has been put into it (the window makes room for it).
    FltkImage(XConnection& connection, Fl_Box& box, int areaWidth, int areaHeight, double scale,
              std::function<void()> shown);
    ~FltkImage() override;
    bool showImageFromFile(const std::string& path, int width, int height) override;

private:
    XConnection& connection_;
    Fl_Box& box_;
    int areaWidth_;
    int areaHeight_;
    double scale_;
    std::function<void()> shown_;
    Fl_Image* image_ = nullptr; // the scaled copy shown in the box
};

class FltkStatusLine final : public StatusLine {
public:
    FltkStatusLine(XConnection& connection, MessageAreaWidget& widget);
    void setUsesSingleLineMode(bool singleLine) override;
    void setStringValue(const std::string& text) override;
    std::string stringValue() const override { return text_; }
    void setTextColor(TextColor color) override;

private:
    void showText();

    XConnection& connection_;
    MessageAreaWidget& widget_;
    std::string text_;
    bool singleLine_ = false;
};

class FltkButton final : public Button {
public:
    FltkButton(XConnection& connection, CancelButtonWidget& widget);
    void setKeyEquivalent(const std::string& key) override;
    void setEnabled(bool enabled) override;
    bool isEnabled() const override { return enabled_; }

private:
    XConnection& connection_;
    CancelButtonWidget& widget_;
    bool enabled_ = true;
};

class FltkWindow final : public Window {
public:
    FltkWindow(XConnection& connection, Fl_Double_Window& window);
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    void show() override;
    void close() override;
    void displayIfNeeded() override;
    bool hasUserToClose() const override;
    bool isClosed() const { return closing_; }

private:
    XConnection& connection_;
    Fl_Double_Window& window_;
    WindowDelegate* delegate_ = nullptr;
    bool closing_ = false;
};
