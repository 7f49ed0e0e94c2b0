#pragma once

// The window tests' own connection to the X server: finds the launcher's
// window, reads its pixels, and plays the user (keys and clicks through the
// XTEST extension, the close box as a window manager sends it). Kept apart
// from the front-end headers: Xlib's type Window collides with ours.

#include <string>
#include <vector>

struct _XDisplay; // Xlib's Display

namespace testsupport {

class XTestDisplay {
public:
    using WindowId = unsigned long;

    explicit XTestDisplay(const std::string& displayName);
    ~XTestDisplay();
    XTestDisplay(const XTestDisplay&) = delete;
    XTestDisplay& operator=(const XTestDisplay&) = delete;

    bool connected() const { return display_ != nullptr; }
    // True when the server has the XTEST extension.
    bool canPlayUser() const { return hasXTest_; }

    // The mapped or unmapped top-level window with this title; 0 when none.
    WindowId findWindow(const std::string& title);
    bool isViewable(WindowId window);
    // Position on the screen and size; false when the window is gone.
    bool geometry(WindowId window, int& x, int& y, int& width, int& height);
    int screenWidth() const;
    int screenHeight() const;

    struct Rgb {
        unsigned red = 0, green = 0, blue = 0;
    };
    // The pixels of a rectangle of the window, row by row; empty when they
    // cannot be read (the window is not viewable).
    std::vector<Rgb> pixels(WindowId window, int x, int y, int width, int height);
    // The whole screen as 8-bit RGB triplets, row by row.
    std::vector<unsigned char> screen();

    // Key press and release through XTEST, named as by XStringToKeysym
    // ("Escape", "Return").
    void pressKey(const std::string& keysymName);
    void movePointer(int x, int y);
    void click(int x, int y);
    // What a window manager sends when the user clicks the close box.
    void requestClose(WindowId window);
    // Waits until the server has handled everything sent so far.
    void sync();

    // Replaces the X resources of the screen (the RESOURCE_MANAGER property
    // of its root window, "Xft.dpi:\t192\n" say), as a desktop sets them;
    // "" removes them. Clients that connect afterwards see them.
    void setResources(const std::string& resources);

private:
    ::_XDisplay* display_ = nullptr;
    bool hasXTest_ = false;
};

} // namespace testsupport
