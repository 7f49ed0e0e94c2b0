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
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using testsupport::ControllerScript;
using testsupport::inChild;
using testsupport::png;
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

// Shows the window and waits until it is on the screen; its X id.
XTestDisplay::WindowId showAndFind(FrontEnd& frontEnd, XTestDisplay& x)
{
    frontEnd.window().show();
    XTestDisplay::WindowId id = 0;
    const bool seen = runLoopUntil(frontEnd.loop(), [&] {
        id = x.findWindow(title);
        return id != 0 && x.isViewable(id);
    });
    EXPECT_TRUE(seen) << "the window did not appear";
    return seen ? id : 0;
}

// ---- the window ----

TEST_F(WindowFrontEnd, OpensCentredWithItsTitleAndFixedSize)
{
    inChild([] {
        ScopedEnv env("DISPLAY", display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EXPECT_TRUE(frontEnd->window().hasUserToClose());
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_TRUE(x.geometry(id, left, top, width, height));
        EXPECT_EQ(width, windowLayout::width);
        EXPECT_EQ(height, windowLayout::height);
        EXPECT_EQ(left, (x.screenWidth() - width) / 2);
        EXPECT_EQ(top, (x.screenHeight() - height) / 2);
    });
}

enum class CloseBy { Escape, Return, CancelClick, CloseBox, Program };

void PrintTo(CloseBy how, std::ostream* out)
{
    static const char* const names[] = {"Escape", "Return", "CancelClick", "CloseBox", "Program"};
    *out << names[static_cast<int>(how)];
}

class ClosingTheWindow : public WindowFrontEnd, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(ClosingTheWindow, TellsTheDelegateOnceAndTakesTheWindowAway)
{
    const CloseBy how = GetParam();
    inChild([how] {
        ScopedEnv env("DISPLAY", display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
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
            case CloseBy::Return:
                // Keys go to the window under the pointer (no window manager).
                x.movePointer(left + width / 2, top + height / 2);
                x.pressKey(how == CloseBy::Escape ? "Escape" : "Return");
                break;
            case CloseBy::CancelClick:
                x.click(left + windowLayout::buttonX + windowLayout::buttonWidth / 2,
                        top + windowLayout::rowY + windowLayout::rowHeight / 2);
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
                         ::testing::Values(CloseBy::Escape, CloseBy::Return, CloseBy::CancelClick, CloseBy::CloseBox,
                                           CloseBy::Program),
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
        using namespace windowLayout;
        ScopedEnv env("DISPLAY", display());
        XTestDisplay x(display());
        ASSERT_TRUE(x.connected());
        std::unique_ptr<FrontEnd> frontEnd = createWindowFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EventLoop& loop = frontEnd->loop();
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
        const int barMiddle = barY + barHeight / 2;
        EXPECT_TRUE(runLoopUntil(loop, [&] {
            const auto row = x.pixels(id, barX, barMiddle, barWidth, 1);
            return !row.empty() && isBlue(row[barWidth / 5]) && !isBlue(row[barWidth * 3 / 5]);
        })) << "the bar does not show 40%";

        if (const char* shot = std::getenv("LAUNCHER_WINDOW_SCREENSHOT")) {
            x.sync();
            writeFile(shot, png(x.screenWidth(), x.screenHeight(), x.screen()));
        }

        // A failure: the status line turns red.
        auto redInStatus = [&] {
            for (const auto& pixel : x.pixels(id, statusX, rowY, statusWidth, rowHeight))
                if (isRed(pixel))
                    return true;
            return false;
        };
        EXPECT_FALSE(redInStatus());
        script.fail(messages::kDownloadError);
        EXPECT_TRUE(runLoopUntil(loop, redInStatus)) << "the failure is not shown in red";
        EXPECT_EQ(frontEnd->downloadPercent().stringValue(),
                  messages::kDownloadError);
        EXPECT_EQ(delegate.calls, 0);
    });
}

TEST_F(WindowFrontEnd, AnimatesAnIndeterminateBar)
{
    inChild([] {
        using namespace windowLayout;
        ScopedEnv env("DISPLAY", display());
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
            const auto row = x.pixels(id, barX, barY + barHeight / 2, barWidth, 1);
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
