// The window front end on a real X server (Xvfb): the window, its controls
// as they look on the screen, closing it by key, button and close box, and
// a server that is missing, silent or lost. The controls are driven as the
// download controller drives them (ControllerScript).
//
// FLTK keeps one display per process and cannot be taken back to none, so
// every case that opens a display runs in a forked child of the test.

#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "support/controller_script.h"
#include "support/launcher_messages.h"
#include "support/loop_until.h"
#include "support/png_writer.h"
#include "support/process.h"
#include "support/recording_widgets.h"
#include "support/scratch.h"
#include "support/x_test_display.h"
#include "support/xvfb.h"
#include "ui/fltk/fltk_layout.h"
#include "ui/front_end.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using testsupport::ControllerScript;
using testsupport::inChild;
using testsupport::png;
using testsupport::largePng;
using testsupport::runLoopUntil;
using testsupport::ScopedEnv;
using testsupport::ScratchDir;
using testsupport::solid;
using testsupport::unusedDisplay;
using testsupport::writeFile;
using testsupport::Xvfb;
using testsupport::XTestDisplay;
namespace messages = testsupport::messages;

namespace {

const std::string title = "Launcher window test";

class WindowFrontEnd : public testsupport::XvfbSuite {};

bool isRed(const XTestDisplay::Rgb& p)
{
    return p.red > 150 && p.green < 90 && p.blue < 90;
}

bool isBlue(const XTestDisplay::Rgb& p)
{
    return p.blue > p.red + 60 && p.blue > 150;
}

// Text in the grey of the details (darker than the background, not coloured).
bool isGreyText(const XTestDisplay::Rgb& p)
{
    return p.red < 160 && p.red + 30 > p.blue && p.blue + 30 > p.red && p.green + 30 > p.red;
}

// Whether any pixel of a band of rows of the window matches.
bool anyPixelIn(XTestDisplay& x, XTestDisplay::WindowId id, const LayoutBox& band,
                bool (*matches)(const XTestDisplay::Rgb&))
{
    for (const auto& pixel : x.pixels(id, band.x, band.y, band.w, band.h))
        if (matches(pixel))
            return true;
    return false;
}

// A line of the status in the message area.
LayoutBox statusRow(const WindowLayout& layout, int line)
{
    const LayoutBox& area = layout.message;
    return {area.x, area.y + line * layout.statusLineHeight, area.w, layout.statusLineHeight};
}

// A line of the details, which follow the lines the status took.
LayoutBox detailRow(const WindowLayout& layout, int statusLinesShown, int line)
{
    const LayoutBox& area = layout.message;
    const int top = statusLinesShown * layout.statusLineHeight + line * layout.detailLineHeight;
    return {area.x, area.y + top, area.w, layout.detailLineHeight};
}

// The window as the user sees it, when $LAUNCHER_WINDOW_SCREENSHOTS names a
// directory: <directory>/<name>.png, for a person to look at.
void saveScreenshot(XTestDisplay& x, const std::string& name)
{
    const char* directory = std::getenv("LAUNCHER_WINDOW_SCREENSHOTS");
    if (directory == nullptr)
        return;
    x.sync();
    writeFile(std::string(directory) + "/" + name + ".png", png(x.screenWidth(), x.screenHeight(), x.screen()));
}

// The test's X server as the display, and no scale from the environment:
// the window is drawn at 96 dots per inch unless a test says otherwise.
struct UnscaledEnvironment {
    explicit UnscaledEnvironment(const std::string& displayName) : display{"DISPLAY", displayName} {}
    ScopedEnv gdk{"GDK_SCALE", std::nullopt};
    ScopedEnv qt{"QT_SCALE_FACTOR", std::nullopt};
    ScopedEnv display;
};

// Shows the window and waits until it is on the screen; its X id.
XTestDisplay::WindowId showAndFind(FrontEnd& frontEnd, XTestDisplay& x)
{
    frontEnd.window().show();
    XTestDisplay::WindowId id = 0;
    const bool seen = runLoopUntil(frontEnd.loop(), [&] {
        id = x.findWindow(title);
        if (id == 0 || !x.isViewable(id))
            return false;
        const auto corner = x.pixels(id, 1, 1, 1, 1); // drawn: no longer black
        return !corner.empty() && corner[0].red + corner[0].green + corner[0].blue > 0;
    });
    EXPECT_TRUE(seen) << "the window did not appear";
    return seen ? id : 0;
}

// ---- the window ----

TEST_F(WindowFrontEnd, OpensCentredWithItsTitleShrunkToItsControlsUntilAPictureIsShown)
{
    ScratchDir scratch;
    const std::string splash = scratch / "splash.png";
    writeFile(splash, png(40, 40, solid(40, 40, 20, 60, 160)));
    inChild([&] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EXPECT_TRUE(frontEnd->window().hasUserToClose());
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        for (const bool withPicture : {false, true}) {
            SCOPED_TRACE(withPicture ? "with a picture" : "without a picture");
            if (withPicture) {
                ASSERT_TRUE(frontEnd->image().showImageFromFile(splash, 400, 400));
            }
            const WindowLayout layout = layOutWindow(1.0, withPicture);
            int left = 0, top = 0, width = 0, height = 0;
            EXPECT_TRUE(runLoopUntil(frontEnd->loop(), [&] {
                return x.geometry(id, left, top, width, height) && width == layout.width && height == layout.height;
            })) << width << "x" << height;
            EXPECT_EQ(left, (x.screenWidth() - width) / 2);
            EXPECT_EQ(top, (x.screenHeight() - height) / 2);
            saveScreenshot(x, withPicture ? "window-with-picture" : "window-without-picture");
        }
    });
}

TEST_F(WindowFrontEnd, ScalesWithTheScreensDotsPerInch)
{
    inChild([] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        x.setResources("Xft.dpi:\t192\n");
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        x.setResources("");
        ASSERT_TRUE(frontEnd);
        ControllerScript script(*frontEnd);
        CountingDelegate delegate;
        script.setUp(delegate);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        script.connect("http://127.0.0.1:1/agent");
        script.respond(1000);
        script.receive(400);

        const WindowLayout layout = layOutWindow(2.0, false);
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_TRUE(x.geometry(id, left, top, width, height));
        EXPECT_EQ(width, layout.width);
        EXPECT_EQ(height, layout.height);
        EXPECT_EQ(width, 2 * layOutWindow(1.0, false).width);
        // The bar at twice the height, 40% filled, and the text in the larger font.
        EXPECT_TRUE(runLoopUntil(frontEnd->loop(), [&] {
            const auto column = x.pixels(id, layout.bar.x + layout.bar.w / 5, layout.bar.y, 1, layout.bar.h);
            int blue = 0;
            for (const auto& pixel : column)
                blue += isBlue(pixel) ? 1 : 0;
            return blue >= 24;
        })) << "the bar is not drawn at the scale";
        saveScreenshot(x, "window-at-192-dpi");
    });
}

enum class CloseBy { Escape, TabThenReturn, CancelClick, CloseBox, Program };

void PrintTo(CloseBy how, std::ostream* out)
{
    static const char* const names[] = {"Escape", "TabThenReturn", "CancelClick", "CloseBox", "Program"};
    *out << names[static_cast<int>(how)];
}

class ClosingTheWindow : public WindowFrontEnd, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(ClosingTheWindow, TellsTheDelegateOnceAndTakesTheWindowAway)
{
    const CloseBy how = GetParam();
    inChild([how] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        const WindowLayout layout = layOutWindow(1.0, false);
        CountingDelegate delegate([&] { loop.stop(17); });
        frontEnd->window().setDelegate(&delegate);
        frontEnd->cancel().setKeyEquivalent("\r");
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_TRUE(x.geometry(id, left, top, width, height));
        if (how != CloseBy::CloseBox && how != CloseBy::Program && !x.canPlayUser())
            GTEST_SKIP() << "the X server has no XTEST extension";

        loop.callLater(0.0, [&] {
            switch (how) {
            case CloseBy::Escape:
            case CloseBy::TabThenReturn:
                // Keys go to the window under the pointer (no window manager).
                x.movePointer(left + width / 2, top + height / 2);
                if (how == CloseBy::TabThenReturn)
                    x.pressKey("Tab"); // Return presses Cancel only once the user has moved there
                x.pressKey(how == CloseBy::Escape ? "Escape" : "Return");
                break;
            case CloseBy::CancelClick:
                x.click(left + layout.button.x + layout.button.w / 2, top + layout.button.y + layout.button.h / 2);
                break;
            case CloseBy::CloseBox:
                x.requestClose(id);
                break;
            case CloseBy::Program:
                frontEnd->window().close();
                break;
            }
        });
        const EventLoop::CallId guard = loop.callLater(30.0, [&] { loop.stop(-1); });
        EXPECT_EQ(loop.run(), 17) << "the window was not closed";
        loop.cancelCall(guard);
        EXPECT_EQ(delegate.calls, 1);

        // Off the screen, and closing again tells nobody.
        EXPECT_TRUE(runLoopUntil(loop, [&] { return !x.isViewable(id); })) << "the window is still on the screen";
        frontEnd->window().close();
        EXPECT_EQ(delegate.calls, 1);
    });
}

INSTANTIATE_TEST_SUITE_P(Ways, ClosingTheWindow,
                         ::testing::Values(CloseBy::Escape, CloseBy::TabThenReturn, CloseBy::CancelClick,
                                           CloseBy::CloseBox, CloseBy::Program),
                         [](const ::testing::TestParamInfo<CloseBy>& info) {
                             return ::testing::PrintToString(info.param);
                         });

TEST_F(WindowFrontEnd, ShowsTheSplashScaledProportionallyTheBarAndTheStatus)
{
    ScratchDir scratch;
    const std::string splash = scratch / "splash.png";
    writeFile(splash, png(200, 100, solid(200, 100, 255, 0, 0)));
    const std::string notAPicture = scratch / "notes.png";
    writeFile(notAPicture, "this is text, not a picture\n");

    inChild([&] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        const WindowLayout layout = layOutWindow(1.0, true);
        const int splashX = layout.picture.x, splashY = layout.picture.y;
        const int splashWidth = layout.picture.w, splashHeight = layout.picture.h;
        CountingDelegate delegate([&] { loop.stop(1); });
        ControllerScript script(*frontEnd);
        script.setUp(delegate);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);

        EXPECT_FALSE(frontEnd->image().showImageFromFile(scratch / "missing.png", 400, 400));
        EXPECT_FALSE(frontEnd->image().showImageFromFile(notAPicture, 400, 400));
        EXPECT_TRUE(frontEnd->image().showImageFromFile(splash, 400, 400));
        frontEnd->window().displayIfNeeded();
        script.connect("http://127.0.0.1:1/agent");
        script.respond(1000);
        script.receive(400);
        EXPECT_EQ(frontEnd->downloadPercent().stringValue(), "Downloading  40%");

        // 200 x 100 fits 400 x 400 as 400 x 200, centred: red across the
        // whole width in the middle, the plain background above and below.
        const int middle = splashY + splashHeight / 2;
        EXPECT_TRUE(runLoopUntil(loop, [&] {
            const auto row = x.pixels(id, splashX, middle, splashWidth, 1);
            return !row.empty() && isRed(row.front()) && isRed(row[splashWidth / 2]) && isRed(row.back());
        })) << "the picture is not across the middle of its area";
        const auto above = x.pixels(id, splashX + splashWidth / 2, splashY + 50, 1, 1);
        const auto below = x.pixels(id, splashX + splashWidth / 2, splashY + splashHeight - 50, 1, 1);
        ASSERT_EQ(above.size(), 1u);
        ASSERT_EQ(below.size(), 1u);
        EXPECT_FALSE(isRed(above[0])) << "stretched instead of scaled proportionally";
        EXPECT_FALSE(isRed(below[0])) << "stretched instead of scaled proportionally";
        const auto inside = x.pixels(id, splashX + splashWidth / 2, splashY + 100 + 3, 1, 1);
        ASSERT_EQ(inside.size(), 1u);
        EXPECT_TRUE(isRed(inside[0])) << "the picture is not 200 pixels high";

        // 40%: filled a fifth of the way, empty at three fifths.
        const LayoutBox& bar = layout.bar;
        EXPECT_TRUE(runLoopUntil(loop, [&] {
            const auto row = x.pixels(id, bar.x, bar.y + bar.h / 2, bar.w, 1);
            return !row.empty() && isBlue(row[bar.w / 5]) && !isBlue(row[bar.w * 3 / 5]);
        })) << "the bar does not show 40%";
        saveScreenshot(x, "window-downloading");

        // A failure: the status line turns red.
        auto redInStatus = [&] { return anyPixelIn(x, id, statusRow(layout, 0), isRed); };
        EXPECT_FALSE(redInStatus());
        script.fail(messages::kDownloadError);
        EXPECT_TRUE(runLoopUntil(loop, redInStatus)) << "the failure is not shown in red";
        EXPECT_EQ(frontEnd->downloadPercent().stringValue(),
                  messages::kDownloadError);
        EXPECT_EQ(delegate.calls, 0);
    });
}

TEST_F(WindowFrontEnd, ShowsWhomItConnectsToThenTheFiguresOfTheTransferBelowTheStatus)
{
    inChild([] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        const WindowLayout layout = layOutWindow(1.0, false);
        ControllerScript script(*frontEnd);
        CountingDelegate delegate;
        script.setUp(delegate);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        EventLoop& loop = frontEnd->loop();
        EXPECT_FALSE(anyPixelIn(x, id, statusRow(layout, 0), isGreyText)) << "text before the request";

        // Before the response: the status line is empty, the details say whom it connects to.
        script.connect("http://127.0.0.1:1/agent");
        EXPECT_TRUE(runLoopUntil(loop, [&] { return anyPixelIn(x, id, detailRow(layout, 0, 0), isGreyText); }))
            << "nothing said while connecting";
        saveScreenshot(x, "window-connecting");

        // Then the status and, below it, the figures as the bytes come.
        script.respond(1000 * 1000);
        EXPECT_TRUE(runLoopUntil(loop, [&] { return !anyPixelIn(x, id, detailRow(layout, 1, 0), isGreyText); }))
            << "the connecting text stays";
        script.receive(400 * 1000);
        EXPECT_TRUE(runLoopUntil(loop, [&] { return anyPixelIn(x, id, detailRow(layout, 1, 0), isGreyText); }))
            << "no figures below the status";
        EXPECT_FALSE(anyPixelIn(x, id, detailRow(layout, 1, 1), isGreyText)) << "one line of figures";
        saveScreenshot(x, "window-details");
    });
}

TEST_F(WindowFrontEnd, ShowsAFailureWholeWithItsReasonAndWhereToLookAndCloses)
{
    inChild([] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        const WindowLayout layout = layOutWindow(1.0, false);
        ControllerScript script(*frontEnd);
        CountingDelegate delegate([&] { loop.stop(3); });
        script.setUp(delegate);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        script.connect("http://127.0.0.1:1/agent");
        script.respond(1000);
        script.receive(400);
        script.fail(messages::kDownloadError, "HTTP status 404",
                    "The server answered 404 Not Found for http://127.0.0.1:1/agent");

        // The red sentence on two lines, then the reason and where to look in two more.
        EXPECT_TRUE(runLoopUntil(loop, [&] {
            return anyPixelIn(x, id, statusRow(layout, 0), isRed) && anyPixelIn(x, id, statusRow(layout, 1), isRed) &&
                   anyPixelIn(x, id, detailRow(layout, 2, 0), isGreyText) &&
                   anyPixelIn(x, id, detailRow(layout, 2, 1), isGreyText);
        })) << "the failure is not shown whole with its reason";
        EXPECT_FALSE(anyPixelIn(x, id, detailRow(layout, 2, 2), isGreyText));
        // The full bar is red, not the blue of a download that went well.
        const auto barMiddle = x.pixels(id, layout.bar.x, layout.bar.y + layout.bar.h / 2, layout.bar.w, 1);
        ASSERT_FALSE(barMiddle.empty());
        EXPECT_TRUE(isRed(barMiddle[barMiddle.size() / 2]));
        EXPECT_FALSE(isBlue(barMiddle.back()));
        saveScreenshot(x, "window-failed");

        // The button is Close now, and a single Return presses it.
        if (!x.canPlayUser())
            GTEST_SKIP() << "the X server has no XTEST extension";
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_TRUE(x.geometry(id, left, top, width, height));
        loop.callLater(0.0, [&] {
            x.movePointer(left + width / 2, top + height / 2);
            x.pressKey("Return");
        });
        const EventLoop::CallId guard = loop.callLater(30.0, [&] { loop.stop(-1); });
        EXPECT_EQ(loop.run(), 3) << "Return did not close the failed window";
        loop.cancelCall(guard);
        EXPECT_EQ(delegate.calls, 1);
    });
}

TEST_F(WindowFrontEnd, AReturnTypedIntoTheWindowDoesNotCancelTheDownload)
{
    inChild([] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        if (!x.canPlayUser())
            GTEST_SKIP() << "the X server has no XTEST extension";
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        ControllerScript script(*frontEnd);
        CountingDelegate delegate;
        script.setUp(delegate);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        script.connect("http://127.0.0.1:1/agent");
        script.respond(1000);
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_TRUE(x.geometry(id, left, top, width, height));
        x.movePointer(left + width / 2, top + height / 2);
        x.pressKey("Return");
        x.pressKey("space");
        loop.callLater(0.5, [&] { loop.stop(0); });
        loop.run();
        EXPECT_EQ(delegate.calls, 0) << "a key meant for another window cancelled the download";
        EXPECT_TRUE(x.isViewable(id));
    });
}

TEST_F(WindowFrontEnd, NeverDecodesAPictureLargerThanItShows)
{
    ScratchDir scratch;
    // 25 megapixels (75 MB decoded) in a file of 3 MB.
    const std::string bomb = scratch / "splash.png";
    writeFile(bomb, largePng(5000, 5000));
    inChild([&] {
        UnscaledEnvironment unscaled(display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        EXPECT_FALSE(frontEnd->image().showImageFromFile(bomb, 400, 400));
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 40 * 1024) << "kilobytes more at the peak: it was decoded";
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_TRUE(x.geometry(id, left, top, width, height));
        EXPECT_EQ(height, layOutWindow(1.0, false).height) << "room made for a picture that is not shown";
    });
}

TEST_F(WindowFrontEnd, AnimatesAnIndeterminateBar)
{
    inChild([] {
        UnscaledEnvironment unscaled(display());
        const LayoutBox bar = layOutWindow(1.0, false).bar;
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        ControllerScript(*frontEnd).finish();
        EXPECT_FALSE(frontEnd->cancel().isEnabled());

        // The blue block is seen at different places as the loop turns.
        std::vector<int> places;
        const bool moves = runLoopUntil(frontEnd->loop(), [&] {
            const auto row = x.pixels(id, bar.x, bar.y + bar.h / 2, bar.w, 1);
            for (int i = 0; i < static_cast<int>(row.size()); ++i)
                if (isBlue(row[static_cast<std::size_t>(i)])) {
                    if (places.empty() || places.back() != i)
                        places.push_back(i);
                    break;
                }
            return places.size() >= 3;
        });
        EXPECT_TRUE(moves) << "the indeterminate bar does not move";
        frontEnd->progress().stopAnimation();
    });
}

TEST_F(WindowFrontEnd, StopEndsTheLoopEvenWithTimersStillDue)
{
    inChild([] {
        ScopedEnv env("DISPLAY", display());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        // As after a long unpacking: the stop comes while other calls are due
        // in the same turn of the loop (here, an animation that keeps going).
        bool laterCallMade = false;
        std::function<void()> animate;
        animate = [&] { loop.callLater(0.0, animate); };
        loop.callLater(0.0, animate);
        loop.callLater(0.0, [&] { loop.stop(7); });
        loop.callLater(0.0, [&] { laterCallMade = true; });
        EXPECT_EQ(loop.run(), 7);
        EXPECT_FALSE(laterCallMade);

        // What was left over is made in the next run.
        loop.callLater(0.05, [&] { loop.stop(8); });
        EXPECT_EQ(loop.run(), 8);
        EXPECT_TRUE(laterCallMade);
    });
}

// ---- no window where there is no display ----

TEST_F(WindowFrontEnd, NoServerMeansNoWindowAndTheProcessGoesOn)
{
    inChild([] {
        {
            ScopedEnv env("DISPLAY", unusedDisplay());
            EXPECT_FALSE(createWindowFrontEnd(title));
        }
        {
            ScopedEnv env("DISPLAY", std::nullopt);
            EXPECT_FALSE(createWindowFrontEnd(title));
        }
        // Still here, and a window can still be had where there is a server.
        ScopedEnv env("DISPLAY", display());
        EXPECT_TRUE(createWindowFrontEnd(title));
    });
}

TEST_F(WindowFrontEnd, ASilentServerMeansNoWindow)
{
    // Something that takes the connection on 127.0.0.1 and never answers.
    const UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener);
    int number = -1;
    for (int n = 40; n < 100 && number < 0; ++n) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(6000 + n));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            number = n;
    }
    ASSERT_GE(number, 0) << "no free port for a pretend X server";
    ASSERT_EQ(listen(listener.get(), 4), 0);

    inChild([number] {
        ScopedEnv env("DISPLAY", "127.0.0.1:" + std::to_string(number));
        EXPECT_FALSE(createWindowFrontEnd(title));
    });
}

// ---- losing the server ----

TEST_F(WindowFrontEnd, LosingTheServerDoesNotEndTheRun)
{
    // A server of its own, to be killed.
    Xvfb doomed;
    ASSERT_TRUE(doomed.running()) << doomed.log();
    const pid_t serverPid = doomed.pid();
    const std::string doomedDisplay = doomed.display();

    inChild([&] {
        ScopedEnv env("DISPLAY", doomedDisplay);
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        CountingDelegate delegate([&] { loop.stop(5); });
        ControllerScript script(*frontEnd);
        script.setUp(delegate);
        script.respond(1000);
        {
            XTestDisplay x(doomedDisplay);
            ASSERT_TRUE(x.connected());
            ASSERT_NE(showAndFind(*frontEnd, x), 0u);
        } // our own connection is gone before the server

        ASSERT_EQ(kill(serverPid, SIGKILL), 0);
        // The download goes on meanwhile, drawing as it goes.
        const bool noticed = runLoopUntil(loop, [&] {
            script.receive(10);
            frontEnd->window().displayIfNeeded();
            return !frontEnd->window().hasUserToClose();
        });
        ASSERT_TRUE(noticed) << "the loss of the server went unnoticed";

        // Descriptors and calls still work, without FLTK.
        PipeFds pipe;
        ASSERT_TRUE(makePipe(pipe));
        bool read = false;
        loop.watchDescriptor(pipe.read.get(), true, false, [&](int fd, bool readable, bool) {
            char byte;
            EXPECT_TRUE(readable);
            EXPECT_EQ(::read(fd, &byte, 1), 1);
            read = true;
            loop.stopWatching(fd);
            frontEnd->downloadPercent().setStringValue("Downloading 100%");
            frontEnd->progress().displayIfNeeded();
            loop.callLater(0.01, [&] { loop.stop(42); });
        });
        loop.callLater(0.01, [&] { ASSERT_EQ(write(pipe.write.get(), "x", 1), 1); });
        EXPECT_EQ(loop.run(), 42);
        EXPECT_TRUE(read);

        // Closing still tells the delegate, once; the window does nothing more.
        frontEnd->window().show();
        frontEnd->window().close();
        EXPECT_EQ(delegate.calls, 1);
        EXPECT_FALSE(createWindowFrontEnd(title)) << "no new window on a lost display";
        frontEnd.reset();
    });
}

TEST_F(WindowFrontEnd, LosingTheServerAfterAFailureEndsTheRun)
{
    // Nobody can close a window that is gone: a failure shown in it, which
    // waits for exactly that, ends the run instead.
    Xvfb doomed;
    ASSERT_TRUE(doomed.running()) << doomed.log();
    const pid_t serverPid = doomed.pid();
    const std::string doomedDisplay = doomed.display();

    inChild([&] {
        ScopedEnv env("DISPLAY", doomedDisplay);
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
        CountingDelegate delegate([&] { loop.stop(5); });
        ControllerScript script(*frontEnd);
        script.setUp(delegate);
        {
            XTestDisplay x(doomedDisplay);
            ASSERT_TRUE(x.connected());
            ASSERT_NE(showAndFind(*frontEnd, x), 0u);
        }
        script.fail(messages::kUnzipInstallerFailed);
        EXPECT_TRUE(frontEnd->window().hasUserToClose());

        ASSERT_EQ(kill(serverPid, SIGKILL), 0);
        const EventLoop::CallId guard = loop.callLater(30.0, [&] { loop.stop(-1); });
        EXPECT_EQ(loop.run(), 5) << "the run did not end";
        loop.cancelCall(guard);
        EXPECT_EQ(delegate.calls, 1);
        EXPECT_FALSE(frontEnd->window().hasUserToClose());
    });
}

} // namespace
