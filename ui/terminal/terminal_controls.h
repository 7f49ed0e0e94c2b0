#pragma once

#include "ui/latest_download_progress.h"
#include "ui/progress_bar_values.h"
#include "ui/widgets.h"

#include <string>

class TerminalRenderer;

// The controls of a terminal front end. They keep what the controller set,
// tell the renderer of each change, and draw nothing themselves.

class TerminalProgress final : public ProgressBarValues {
public:
    void connect(TerminalRenderer& renderer) { renderer_ = &renderer; }
    void displayIfNeeded() override;

private:
    void modeChanged() override;
    void valueChanged() override;
    void animationChanged() override;

    TerminalRenderer* renderer_ = nullptr;
};

// There is no picture on a terminal.
class TerminalImage final : public ImageView {
public:
    bool showImageFromFile(const std::string&, int, int) override { return false; }
};

class TerminalStatusLine final : public StatusLine {
public:
    void connect(TerminalRenderer& renderer) { renderer_ = &renderer; }
    // A terminal line is a single line anyway.
    void setUsesSingleLineMode(bool) override {}
    void setStringValue(const std::string& text) override;
    std::string stringValue() const override { return text_; }
    void setTextColor(TextColor color) override;
    TextColor color() const { return color_; }

private:
    TerminalRenderer* renderer_ = nullptr;
    std::string text_;
    TextColor color_ = TextColor::Normal;
};

// Nobody presses it on a terminal; it keeps its state for the controller.
class TerminalButton final : public Button {
public:
    void setKeyEquivalent(const std::string&) override {}
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }

private:
    bool enabled_ = true;
};

class TerminalWindow final : public Window {
public:
    void connect(TerminalRenderer& renderer) { renderer_ = &renderer; }
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    void show() override;
    void close() override;
    void displayIfNeeded() override;
    bool hasUserToClose() const override { return false; }

    // Shown and not yet closed: the time in which anything is drawn.
    bool isShown() const { return shown_ && !closed_; }

private:
    TerminalRenderer* renderer_ = nullptr;
    WindowDelegate* delegate_ = nullptr;
    bool shown_ = false;
    bool closing_ = false;
    bool closed_ = false;
};

// All of them, told to report to one renderer.
struct TerminalControls {
    void connect(TerminalRenderer& renderer);

    TerminalProgress progress;
    TerminalImage image;
    TerminalStatusLine status;
    TerminalButton button;
    TerminalWindow window;
    LatestDownloadProgress download;
};
