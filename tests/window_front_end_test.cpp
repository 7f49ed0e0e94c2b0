// The window front end on a real X server (Xvfb): the window, its controls
// as they look on the screen, closing it by key, button and close box, the
// choice of front end, and a server that is missing, silent or lost.
//
// FLTK keeps one display per process and cannot be taken back to none, so
// every case that opens a display runs in a forked child of the test; the
// child's failures are printed by GoogleTest there and reported here through
// its exit status.

#include "platform/event_loop.h"
#include "ui/fltk/fltk_layout.h"
#include "ui/front_end.h"
#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/scratch.h"
#include "x_test_display.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::BackgroundProcess;
using testsupport::ProcessOptions;
using testsupport::ScopedEnv;
using testsupport::ScratchDir;
using testsupport::XTestDisplay;

namespace {

const std::string title = "Launcher window test";

// ---- helpers ----

bool onPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::string candidate = directories.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// An Xvfb server on a display number it picks itself (-displayfd), ready
// once it has told the number.
// With keepAcrossClients, the server does not reset itself whenever its last
// client leaves (which each child of the tests is); without, it does, as a
// real server may.
class Xvfb {
public:
    explicit Xvfb(bool keepAcrossClients = false)
    {
        std::vector<std::string> argv = {"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
        if (keepAcrossClients)
            argv.push_back("-noreset");
        process_ = std::make_unique<BackgroundProcess>(ProcessOptions(argv));
        if (!process_->waitUntil([this] { return process_->out().find('\n') != std::string::npos; }))
            return;
        display_ = ":" + process_->out().substr(0, process_->out().find('\n'));
    }
    bool running() const { return !display_.empty(); }
    const std::string& display() const { return display_; }
    pid_t pid() const { return process_->pid(); }
    std::string log() const { return process_->err(); }

private:
    std::unique_ptr<BackgroundProcess> process_;
    std::string display_;
};

// Runs body in a forked child and fails when the child fails (or dies, or
// hangs past a generous safety limit).
void inChild(const std::function<void()>& body)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        body();
        const bool failed = ::testing::Test::HasFailure();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(failed ? 1 : 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the child hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child failed (its messages are above)";
}

// Runs the loop until condition() holds (looked at every 20 ms). False when
// the loop was stopped by something else first, or after a generous safety
// limit.
bool runUntil(EventLoop& loop, const std::function<bool()>& condition)
{
    constexpr int met = -4242;
    constexpr int gaveUp = -4343;
    const EventLoop::CallId guard = loop.callLater(30.0, [&] { loop.stop(gaveUp); });
    std::optional<EventLoop::CallId> next;
    std::function<void()> check = [&] {
        next.reset();
        if (condition())
            loop.stop(met);
        else
            next = loop.callLater(0.02, check);
    };
    next = loop.callLater(0.0, check);
    const int result = loop.run();
    loop.cancelCall(guard);
    if (next)
        loop.cancelCall(*next);
    return result == met;
}

class StoppingDelegate : public WindowDelegate {
public:
    StoppingDelegate(EventLoop& loop, int result) : loop_(loop), result_(result) {}
    void windowWillClose() override
    {
        ++calls;
        loop_.stop(result_);
    }
    int calls = 0;

private:
    EventLoop& loop_;
    int result_;
};

// ---- PNG files, written by hand (stored deflate blocks: no zlib needed) ----

std::uint32_t crc32(const std::string& bytes)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const unsigned char byte : bytes)
        c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putBigEndian(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

std::string pngChunk(const std::string& type, const std::string& data)
{
    std::string chunk;
    putBigEndian(chunk, static_cast<std::uint32_t>(data.size()));
    chunk += type + data;
    putBigEndian(chunk, crc32(type + data));
    return chunk;
}

// An 8-bit RGB PNG of the pixels (row by row, three bytes each).
std::string png(int width, int height, const std::vector<unsigned char>& rgb)
{
    std::string raw;
    for (int row = 0; row < height; ++row) {
        raw += '\0'; // no filter
        raw.append(reinterpret_cast<const char*>(rgb.data()) + static_cast<std::size_t>(row) * width * 3,
                   static_cast<std::size_t>(width) * 3);
    }
    std::string zlib = "\x78\x01";
    std::uint32_t a = 1, b = 0;
    for (const unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - at);
        zlib += static_cast<char>(at + length >= raw.size() ? 1 : 0);
        zlib += static_cast<char>(length & 0xFF);
        zlib += static_cast<char>(length >> 8);
        zlib += static_cast<char>(~length & 0xFF);
        zlib += static_cast<char>((~length >> 8) & 0xFF);
        zlib += raw.substr(at, length);
        if (raw.empty())
            break;
    }
    putBigEndian(zlib, (b << 16) | a);

    std::string header;
    putBigEndian(header, static_cast<std::uint32_t>(width));
    putBigEndian(header, static_cast<std::uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB, deflate, no filter, no interlace
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", zlib) +
           pngChunk("IEND", "");
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<unsigned char> solid(int width, int height, unsigned char r, unsigned char g, unsigned char b)
{
    std::vector<unsigned char> rgb;
    for (int i = 0; i < width * height; ++i) {
        rgb.push_back(r);
        rgb.push_back(g);
        rgb.push_back(b);
    }
    return rgb;
}

bool isRed(const XTestDisplay::Rgb& p)
{
    return p.red > 150 && p.green < 90 && p.blue < 90;
}

bool isBlue(const XTestDisplay::Rgb& p)
{
    return p.blue > p.red + 60 && p.blue > 150;
}

// A display number with no server: neither socket nor lock file.
std::string unusedDisplay()
{
    for (int n = 571;; ++n) {
        struct stat info;
        if (stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &info) != 0 &&
            stat(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), &info) != 0)
            return ":" + std::to_string(n);
    }
}

// ---- the fixture: one Xvfb for the whole suite ----

class WindowFrontEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (onPath("Xvfb"))
            server_ = new Xvfb(true);
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override
    {
        if (server_ == nullptr)
            GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb): the window front end is not tested";
        ASSERT_TRUE(server_->running()) << "Xvfb did not start: " << server_->log();
    }
    static const std::string& display() { return server_->display(); }

    static Xvfb* server_;
};

Xvfb* WindowFrontEnd::server_ = nullptr;

// Shows the window and waits until it is on the screen; its X id.
XTestDisplay::WindowId showAndFind(FrontEnd& frontEnd, XTestDisplay& x)
{
    frontEnd.window().show();
    XTestDisplay::WindowId id = 0;
    const bool seen = runUntil(frontEnd.loop(), [&] {
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
        StoppingDelegate delegate(loop, 17);
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
        EXPECT_TRUE(runUntil(loop, [&] { return !x.isViewable(id); })) << "the window is still on the screen";
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
        StoppingDelegate delegate(loop, 1);
        frontEnd->window().setDelegate(&delegate);
        frontEnd->progress().setDoubleValue(0);
        frontEnd->downloadPercent().setUsesSingleLineMode(true);
        frontEnd->cancel().setKeyEquivalent("\r");
        const XTestDisplay::WindowId id = showAndFind(*frontEnd, x);
        ASSERT_NE(id, 0u);

        EXPECT_FALSE(frontEnd->image().showImageFromFile(scratch / "missing.png", 400, 400));
        EXPECT_FALSE(frontEnd->image().showImageFromFile(notAPicture, 400, 400));
        EXPECT_TRUE(frontEnd->image().showImageFromFile(splash, 400, 400));
        frontEnd->window().displayIfNeeded();
        frontEnd->progress().setMaxValue(1000);
        frontEnd->progress().setIndeterminate(false);
        frontEnd->progress().setDoubleValue(400);
        frontEnd->downloadPercent().setStringValue("Downloading  40%");
        frontEnd->progress().startAnimation();
        frontEnd->progress().displayIfNeeded();

        // 200 x 100 fits 400 x 400 as 400 x 200, centred: red across the
        // whole width in the middle, the plain background above and below.
        const int middle = splashY + splashHeight / 2;
        EXPECT_TRUE(runUntil(loop, [&] {
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
        EXPECT_TRUE(runUntil(loop, [&] {
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
        frontEnd->progress().stopAnimation();
        frontEnd->progress().setIndeterminate(false);
        frontEnd->progress().setDoubleValue(frontEnd->progress().maxValue());
        frontEnd->downloadPercent().setStringValue(
            "Error during the download process. See your system log for more information.");
        frontEnd->downloadPercent().setTextColor(TextColor::Red);
        EXPECT_TRUE(runUntil(loop, redInStatus)) << "the failure is not shown in red";
        EXPECT_EQ(frontEnd->downloadPercent().stringValue(),
                  "Error during the download process. See your system log for more information.");
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
        frontEnd->downloadPercent().setStringValue("Initializing the installer");
        frontEnd->progress().setIndeterminate(true);
        frontEnd->progress().startAnimation();
        frontEnd->cancel().setEnabled(false);
        EXPECT_FALSE(frontEnd->cancel().isEnabled());
        frontEnd->window().displayIfNeeded();

        // The blue block is seen at different places as the loop turns.
        std::vector<int> places;
        const bool moves = runUntil(frontEnd->loop(), [&] {
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
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int number = -1;
    for (int n = 40; n < 100 && number < 0; ++n) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(6000 + n));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            number = n;
    }
    ASSERT_GE(number, 0) << "no free port for a pretend X server";
    ASSERT_EQ(listen(listener, 4), 0);

    inChild([number] {
        ScopedEnv env("DISPLAY", "127.0.0.1:" + std::to_string(number));
        EXPECT_FALSE(createWindowFrontEnd(title));
    });
    close(listener);
}

// ---- choosing the front end ----

TEST_F(WindowFrontEnd, ChoosesTheWindowWhereThereIsADisplay)
{
    inChild([] {
        ScopedEnv env("DISPLAY", display());
        ScopedEnv choice("ZX_INSTALLER_UI", std::nullopt);
        std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EXPECT_TRUE(frontEnd->window().hasUserToClose()) << "not the window";
    });
}

TEST_F(WindowFrontEnd, TextWhenForcedOrWithoutDisplay)
{
    inChild([] {
        {
            ScopedEnv env("DISPLAY", display());
            ScopedEnv choice("ZX_INSTALLER_UI", "plain");
            std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
            ASSERT_TRUE(frontEnd);
            EXPECT_FALSE(frontEnd->window().hasUserToClose());
        }
        {
            ScopedEnv env("DISPLAY", display());
            ScopedEnv choice("ZX_INSTALLER_UI", "terminal");
            std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
            ASSERT_TRUE(frontEnd);
            EXPECT_FALSE(frontEnd->window().hasUserToClose());
        }
        {
            ScopedEnv env("DISPLAY", std::nullopt);
            ScopedEnv choice("ZX_INSTALLER_UI", std::nullopt);
            std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
            ASSERT_TRUE(frontEnd);
            EXPECT_FALSE(frontEnd->window().hasUserToClose());
        }
    });
}

TEST_F(WindowFrontEnd, AForcedWindowThatCannotBeMadeFallsBackSayingWhy)
{
    ScratchDir scratch;
    const std::string errPath = scratch / "stderr";
    inChild([&] {
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(err, STDERR_FILENO); // not a terminal: plain lines
        close(err);
        const std::string nowhere = unusedDisplay();
        ScopedEnv env("DISPLAY", nowhere);
        ScopedEnv choice("ZX_INSTALLER_UI", "window");
        std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EXPECT_FALSE(frontEnd->window().hasUserToClose());
        // Plain: the status is a line of its own.
        frontEnd->window().show();
        frontEnd->downloadPercent().setStringValue("Initializing the installer");
        frontEnd.reset();
        std::ifstream in(errPath);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(nowhere), std::string::npos) << "the reason names the display: " << lines[0];
        EXPECT_EQ(lines[1], "Initializing the installer");
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
        StoppingDelegate delegate(loop, 5);
        frontEnd->window().setDelegate(&delegate);
        frontEnd->progress().setMaxValue(1000);
        frontEnd->progress().setIndeterminate(false);
        frontEnd->progress().startAnimation();
        {
            XTestDisplay x(doomedDisplay);
            ASSERT_TRUE(x.connected());
            ASSERT_NE(showAndFind(*frontEnd, x), 0u);
        } // our own connection is gone before the server

        ASSERT_EQ(kill(serverPid, SIGKILL), 0);
        // The download goes on meanwhile, drawing as it goes.
        int step = 0;
        const bool noticed = runUntil(loop, [&] {
            ++step;
            frontEnd->downloadPercent().setStringValue("Downloading " + std::to_string(step) + "%");
            frontEnd->progress().incrementBy(1);
            frontEnd->progress().displayIfNeeded();
            frontEnd->window().displayIfNeeded();
            return !frontEnd->window().hasUserToClose();
        });
        ASSERT_TRUE(noticed) << "the loss of the server went unnoticed";

        // Descriptors and calls still work, without FLTK.
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        bool read = false;
        loop.watchDescriptor(pipeEnds[0], true, false, [&](int fd, bool readable, bool) {
            char byte;
            EXPECT_TRUE(readable);
            EXPECT_EQ(::read(fd, &byte, 1), 1);
            read = true;
            loop.stopWatching(fd);
            frontEnd->downloadPercent().setStringValue("Downloading 100%");
            frontEnd->progress().displayIfNeeded();
            loop.callLater(0.01, [&] { loop.stop(42); });
        });
        loop.callLater(0.01, [&] { ASSERT_EQ(write(pipeEnds[1], "x", 1), 1); });
        EXPECT_EQ(loop.run(), 42);
        EXPECT_TRUE(read);
        close(pipeEnds[0]);
        close(pipeEnds[1]);

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
        StoppingDelegate delegate(loop, 5);
        frontEnd->window().setDelegate(&delegate);
        {
            XTestDisplay x(doomedDisplay);
            ASSERT_TRUE(x.connected());
            ASSERT_NE(showAndFind(*frontEnd, x), 0u);
        }
        frontEnd->downloadPercent().setStringValue("Failed to unzip the installer.");
        frontEnd->downloadPercent().setTextColor(TextColor::Red);
        EXPECT_TRUE(frontEnd->window().hasUserToClose());

        ASSERT_EQ(kill(serverPid, SIGKILL), 0);
        const EventLoop::CallId guard = loop.callLater(30.0, [&] { loop.stop(-1); });
        EXPECT_EQ(loop.run(), 5) << "the run did not end";
        loop.cancelCall(guard);
        EXPECT_EQ(delegate.calls, 1);
        EXPECT_FALSE(frontEnd->window().hasUserToClose());
    });
}

// ---- the launcher itself, with its window, through a real download ----

using namespace testsupport;

// The launcher names its download window after its bundle: the flat
// directory's name, or the application bundle's without ".app".
const std::string flatTitle = "Acme Setup";
const std::string appTitle = "Example Installer";

class LauncherWindow : public WindowFrontEnd {
protected:
    void SetUp() override
    {
        WindowFrontEnd::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        flat_ = makeFlatBundle(scratch_.path(), flatTitle);
        app_ = makeAppBundle(scratch_.path(), appTitle + ".app");
        for (const BundleLayout* bundle : {&flat_, &app_}) {
            writeBundlePayload(bundle->resources);
            writeFile(bundle->resources + "/splash.png", png(320, 200, solid(320, 200, 20, 60, 160)));
        }
        makeDirectories(scratch_ / "home");
        makeDirectories(scratch_ / "tmp");
        makeDirectories(scratch_ / "record");
        makeInstallAgentZip(scratch_ / "agent.zip", "echo started >> \"$AGENT_RECORD/starts\"\n" +
                                                        std::string(kRecordingAgentScript));
    }

    ProcessOptions launcher(const BundleLayout& bundle, const std::string& query) const
    {
        return ProcessOptions({bundle.executable, "from the window"},
                           {{"DISPLAY", display()},
                            {"ZX_INSTALLER_UI", "window"},
                            {"HOME", scratch_ / "home"},
                            {"TMPDIR", scratch_ / "tmp"},
                            {"AGENT_RECORD", scratch_ / "record"},
                            {"ZX_INTERNAL_INSTALL_AGENT_URL", server_http_.url("/agent.zip?file=" + (scratch_ / "agent.zip") + query)},
                            // FLTK's font set-up keeps a few allocations to the end of the process.
                            {"ASAN_OPTIONS", "detect_leaks=0"}});
    }

    int agentStarts() const
    {
        const std::string starts = scratch_ / "record/starts";
        return pathExists(starts) ? static_cast<int>(splitLines(readFile(starts)).size()) : 0;
    }

    ScratchDir scratch_;
    HttpTestServer server_http_;
    BundleLayout flat_;
    BundleLayout app_;
};

TEST_F(LauncherWindow, ShowsTheDownloadThenGoesAwayBeforeTheAgentRuns)
{
    XTestDisplay x(display());
    ASSERT_TRUE(x.connected());
    // Paced, so that the window is on the screen long enough to be seen there.
    BackgroundProcess run(launcher(flat_, "&etag=%22w1%22&stall=1"));
    XTestDisplay::WindowId id = 0;
    ASSERT_TRUE(run.waitUntil([&] {
        id = x.findWindow(flatTitle);
        return id != 0 && x.isViewable(id);
    })) << run.err();

    const ProcessResult result = run.wait();
    ASSERT_EQ(result.exitCode, 0) << result.describe() << "\n" << result.err;
    EXPECT_EQ(agentStarts(), 1);
    EXPECT_EQ(readAgentRecord(scratch_ / "record").args,
              (std::vector<std::string>{"-installbundle", flat_.payload(), "from the window"}));
    EXPECT_EQ(readFile(scratch_ / "home/.kelvor/installagent/Q3071x/ostx86/.validatestring"), "\"w1\"");
    EXPECT_FALSE(x.findWindow(flatTitle) != 0 && x.isViewable(x.findWindow(flatTitle)));
}

TEST_F(LauncherWindow, ClosingTheWindowCancelsTheDownload)
{
    XTestDisplay x(display());
    ASSERT_TRUE(x.connected());
    BackgroundProcess run(launcher(app_, "&etag=%22w2%22&stall=60"));
    XTestDisplay::WindowId id = 0;
    ASSERT_TRUE(run.waitUntil([&] {
        id = x.findWindow(appTitle);
        return id != 0 && x.isViewable(id) && !server_http_.requests().empty();
    })) << run.err();

    x.requestClose(id);
    x.sync();
    const ProcessResult result = run.wait();
    EXPECT_EQ(result.exitCode, 255) << result.describe() << "\n" << result.err;
    EXPECT_EQ(splitLines(result.err).back(), "Installation failed.");
    EXPECT_EQ(agentStarts(), 0);
    EXPECT_TRUE(listDirectory(scratch_ / "tmp").empty()) << "scratch directory or partial archive left behind";
}

} // namespace
