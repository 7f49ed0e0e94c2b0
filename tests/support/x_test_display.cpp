#include "support/x_test_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace testsupport {

namespace {

// The position of the lowest set bit of a colour mask, and its width.
void maskShape(unsigned long mask, int& shift, int& bits)
{
    shift = 0;
    bits = 0;
    if (mask == 0)
        return;
    while ((mask & 1) == 0) {
        mask >>= 1;
        ++shift;
    }
    while (mask & 1) {
        mask >>= 1;
        ++bits;
    }
}

unsigned channel(unsigned long pixel, unsigned long mask)
{
    int shift, bits;
    maskShape(mask, shift, bits);
    if (bits == 0)
        return 0;
    const unsigned long value = (pixel & mask) >> shift;
    const unsigned long top = (1ul << bits) - 1;
    return static_cast<unsigned>(value * 255 / top);
}

} // namespace

XTestDisplay::XTestDisplay(const std::string& displayName)
{
    display_ = XOpenDisplay(displayName.c_str());
    if (display_ == nullptr)
        return;
    int eventBase, errorBase, major, minor;
    hasXTest_ = XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor) == True;
}

XTestDisplay::~XTestDisplay()
{
    if (display_ != nullptr)
        XCloseDisplay(display_);
}

XTestDisplay::WindowId XTestDisplay::findWindow(const std::string& title)
{
    ::Window root, parent;
    ::Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) == 0)
        return 0;
    WindowId found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(display_, children[i], &name) != 0 && name != nullptr) {
            if (title == name)
                found = children[i];
            XFree(name);
        }
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

bool XTestDisplay::isViewable(WindowId window)
{
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display_, window, &attributes) == 0)
        return false;
    return attributes.map_state == IsViewable;
}

bool XTestDisplay::geometry(WindowId window, int& x, int& y, int& width, int& height)
{
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display_, window, &attributes) == 0)
        return false;
    ::Window child;
    if (XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child) == 0)
        return false;
    width = attributes.width;
    height = attributes.height;
    return true;
}

int XTestDisplay::screenWidth() const
{
    return DisplayWidth(display_, DefaultScreen(display_));
}

int XTestDisplay::screenHeight() const
{
    return DisplayHeight(display_, DefaultScreen(display_));
}

std::vector<XTestDisplay::Rgb> XTestDisplay::pixels(WindowId window, int x, int y, int width, int height)
{
    std::vector<Rgb> result;
    if (!isViewable(window))
        return result;
    XImage* image = XGetImage(display_, window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height),
                              AllPlanes, ZPixmap);
    if (image == nullptr)
        return result;
    result.reserve(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        for (int column = 0; column < width; ++column) {
            const unsigned long pixel = XGetPixel(image, column, row);
            result.push_back(Rgb{channel(pixel, image->red_mask), channel(pixel, image->green_mask),
                                 channel(pixel, image->blue_mask)});
        }
    XDestroyImage(image);
    return result;
}

std::vector<unsigned char> XTestDisplay::screen()
{
    const int width = screenWidth();
    const int height = screenHeight();
    std::vector<unsigned char> rgb;
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return rgb;
    rgb.reserve(static_cast<std::size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row)
        for (int column = 0; column < width; ++column) {
            const unsigned long pixel = XGetPixel(image, column, row);
            rgb.push_back(static_cast<unsigned char>(channel(pixel, image->red_mask)));
            rgb.push_back(static_cast<unsigned char>(channel(pixel, image->green_mask)));
            rgb.push_back(static_cast<unsigned char>(channel(pixel, image->blue_mask)));
        }
    XDestroyImage(image);
    return rgb;
}

void XTestDisplay::pressKey(const std::string& keysymName)
{
    const KeySym keysym = XStringToKeysym(keysymName.c_str());
    const KeyCode code = XKeysymToKeycode(display_, keysym);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XFlush(display_);
}

void XTestDisplay::movePointer(int x, int y)
{
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XFlush(display_);
}

void XTestDisplay::click(int x, int y)
{
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
}

void XTestDisplay::requestClose(WindowId window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

void XTestDisplay::sync()
{
    XSync(display_, False);
}

void XTestDisplay::setResources(const std::string& resources)
{
    const ::Window root = DefaultRootWindow(display_);
    if (resources.empty())
        XDeleteProperty(display_, root, XA_RESOURCE_MANAGER);
    else
        XChangeProperty(display_, root, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(resources.data()), static_cast<int>(resources.size()));
    sync();
}

} // namespace testsupport
