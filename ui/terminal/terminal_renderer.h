#pragma once

// How a terminal front end puts the download on stderr: told of every change
// of its controls (TerminalControls), it reads them and draws what it wants
// of them. Each change has a default of doing nothing.
class TerminalRenderer {
public:
    virtual ~TerminalRenderer() = default;

    virtual void statusTextChanged() {}
    virtual void statusColorChanged() {}
    // The bar became indeterminate, or determinate.
    virtual void barModeChanged() {}
    virtual void barValueChanged() {}
    virtual void animationChanged() {}
    virtual void downloadProgressChanged() {}
    // The controller is about to block (whole: the window; else the bar
    // alone): what is due is drawn now.
    virtual void displayRequested(bool /*whole*/) {}
    virtual void shown() {}
    // The last call: the window is closing and nothing is drawn after it.
    virtual void closed() {}
};
