#pragma once

#include "ui/download_progress.h"

#include <string>

// The controls of the download window, as the controller sees them. Each
// front end (window, terminal, plain text, test double) implements them.

enum class TextColor { Normal, Red };

class ProgressIndicator {
public:
    virtual ~ProgressIndicator() = default;
    virtual void setUsesThreadedAnimation(bool threaded) = 0;
    virtual void setIndeterminate(bool indeterminate) = 0;
    virtual bool isIndeterminate() const = 0;
    virtual void setMaxValue(double maximum) = 0;
    virtual double maxValue() const = 0;
    virtual void setDoubleValue(double value) = 0;
    virtual double doubleValue() const = 0;
    virtual void incrementBy(double delta) = 0;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
    virtual void displayIfNeeded() = 0;
};

class ImageView {
public:
    virtual ~ImageView() = default;
    // Shows the picture in the file, scaled proportionally to fit width x height.
    // False when the file cannot be read as a picture.
    virtual bool showImageFromFile(const std::string& path, int width, int height) = 0;
};

class StatusLine {
public:
    virtual ~StatusLine() = default;
    virtual void setUsesSingleLineMode(bool singleLine) = 0;
    virtual void setStringValue(const std::string& text) = 0;
    virtual std::string stringValue() const = 0;
    virtual void setTextColor(TextColor color) = 0;
};

class Button {
public:
    virtual ~Button() = default;
    // "\r" is Return, "\x1b" Escape.
    virtual void setKeyEquivalent(const std::string& key) = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
};

// The download's progress in numbers, beside what the controls are told:
// the front end reads sizes, speeds and states here, never from the texts.
class DownloadProgressView {
public:
    virtual ~DownloadProgressView() = default;
    // The whole state, after each change; comes before the status text that
    // goes with it.
    virtual void downloadProgressChanged(const DownloadProgress& progress) = 0;
};

class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    // The window is about to close, whoever closes it. Called once.
    virtual void windowWillClose() = 0;
};

class Window {
public:
    virtual ~Window() = default;
    virtual void setDelegate(WindowDelegate* delegate) = 0;
    virtual void show() = 0;
    // Tells the delegate, then takes the window off the screen. Later calls do nothing.
    virtual void close() = 0;
    virtual void displayIfNeeded() = 0;
    // False for front ends that nobody can close by hand (terminal, plain text):
    // there a failure ends the run once it has been shown.
    virtual bool hasUserToClose() const = 0;
};

class EventLoop;

// One front end: its loop, the window with its four controls and the view
// of the download's progress, all owned by it.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    virtual EventLoop& loop() = 0;
    virtual Window& window() = 0;
    virtual ProgressIndicator& progress() = 0;
    virtual ImageView& image() = 0;
    virtual StatusLine& downloadPercent() = 0;
    virtual Button& cancel() = 0;
    virtual DownloadProgressView& progressView() = 0;
};
