// The terminal front ends, driven as the download controller drives them,
// with their output read back: plain lines from a file standing in for
// stderr, and the interactive line from a real pseudo-terminal.

#include "ui/front_end.h"
#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string downloadErrorText =
    "Error during the download process. See your system log for more information.";

std::string downloadingText(double percentage)
{
    char number[64];
    std::snprintf(number, sizeof number, "%3.0f%%", percentage);
    return std::string("Downloading ") + number;
}

class CountingDelegate : public WindowDelegate {
public:
    explicit CountingDelegate(std::function<void()> also = {}) : also_(std::move(also)) {}
    void windowWillClose() override
    {
        ++calls;
        if (also_)
            also_();
    }
    int calls = 0;

private:
    std::function<void()> also_;
};

// What the controller does before the download starts.
void setUp(FrontEnd& frontEnd, WindowDelegate& delegate)
{
    frontEnd.progress().setDoubleValue(0);
    frontEnd.progress().setUsesThreadedAnimation(true);
    frontEnd.downloadPercent().setUsesSingleLineMode(true);
    frontEnd.cancel().setKeyEquivalent("\r");
    frontEnd.window().setDelegate(&delegate);
    frontEnd.window().show();
    EXPECT_FALSE(frontEnd.image().showImageFromFile("/nonexistent/splash.png", 400, 400));
}

// A response with a known length, then the chunks, as the controller shows them.
void downloadInChunks(FrontEnd& frontEnd, int chunks, double chunkSize)
{
    const double length = chunks * chunkSize;
    frontEnd.progress().setMaxValue(length);
    frontEnd.progress().setIndeterminate(false);
    frontEnd.downloadPercent().setStringValue(downloadingText(0.0));
    frontEnd.progress().startAnimation();
    double received = 0;
    for (int i = 0; i < chunks; ++i) {
        received += chunkSize;
        frontEnd.downloadPercent().setStringValue(downloadingText(received * 100.0 / length));
        frontEnd.progress().incrementBy(chunkSize);
        frontEnd.progress().displayIfNeeded();
    }
}

void finishDownload(FrontEnd& frontEnd)
{
    frontEnd.downloadPercent().setStringValue("Initializing the installer");
    frontEnd.progress().setIndeterminate(true);
    frontEnd.progress().startAnimation();
    frontEnd.cancel().setEnabled(false);
    frontEnd.window().displayIfNeeded();
}

void fail(FrontEnd& frontEnd, const std::string& message)
{
    frontEnd.progress().stopAnimation();
    frontEnd.progress().setIndeterminate(false);
    frontEnd.progress().setDoubleValue(frontEnd.progress().maxValue());
    frontEnd.downloadPercent().setStringValue(message);
    frontEnd.downloadPercent().setTextColor(TextColor::Red);
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Runs the loop until condition() holds; fails the test when it does not
// within a generous safety limit (a guard against hanging, not a timing
// check).
void runLoopUntil(EventLoop& loop, const std::function<bool()>& condition)
{
    bool timedOut = false;
    const EventLoop::CallId guard = loop.callLater(30.0, [&] {
        timedOut = true;
        loop.stop(1);
    });
    std::function<void()> check = [&] {
        if (condition())
            loop.stop(0);
        else
            loop.callLater(0.02, check);
    };
    loop.callLater(0.0, check);
    loop.run();
    loop.cancelCall(guard);
    ASSERT_FALSE(timedOut) << "the condition did not come true";
}

// Standard error sent to a file for a while.
class StderrToFile {
public:
    StderrToFile()
    {
        char path[] = "/tmp/terminal-front-end-XXXXXX";
        fd_ = mkstemp(path);
        unlink(path);
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fd_, STDERR_FILENO);
    }
    ~StderrToFile()
    {
        restore();
        close(fd_);
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string text() const
    {
        std::string all;
        char buffer[4096];
        for (off_t offset = 0;;) {
            const ssize_t got = pread(fd_, buffer, sizeof buffer, offset);
            if (got <= 0)
                break;
            all.append(buffer, static_cast<std::size_t>(got));
            offset += got;
        }
        return all;
    }

private:
    int fd_ = -1;
    int saved_ = -1;
};

// Standard error on the slave side of a real pseudo-terminal, raw (no
// newline translation), the given number of columns wide; the test reads
// the master side.
class StderrToPty {
public:
    explicit StderrToPty(unsigned short columns = 100)
    {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("openpty failed");
        termios mode{};
        tcgetattr(slave_, &mode);
        cfmakeraw(&mode);
        tcsetattr(slave_, TCSANOW, &mode);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(slave_, STDERR_FILENO);
    }
    ~StderrToPty()
    {
        restore();
        close(slave_);
        close(master_);
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int master() const { return master_; }

    // Reads what has arrived, waiting at most the given time for more.
    const std::string& read(std::chrono::milliseconds wait = std::chrono::milliseconds(0))
    {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            char buffer[4096];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got > 0) {
                text_.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return text_;
            pollfd watch{master_, POLLIN, 0};
            poll(&watch, 1, static_cast<int>(left.count()));
        }
    }
    // Reads until condition() holds on all that was read; a generous limit
    // guards against hanging.
    const std::string& readUntil(const std::function<bool(const std::string&)>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition(read(std::chrono::milliseconds(20))) && std::chrono::steady_clock::now() < deadline) {
        }
        EXPECT_TRUE(condition(text_)) << "not seen on the terminal; got:\n" << text_;
        return text_;
    }
    std::string text() const { return text_; }

private:
    int master_ = -1;
    int slave_ = -1;
    int saved_ = -1;
    std::string text_;
};

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The states the line went through: what follows each "\r\x1b[K".
std::vector<std::string> redraws(const std::string& text)
{
    std::vector<std::string> states;
    const std::string clear = "\r\x1b[K";
    for (std::size_t at = text.find(clear); at != std::string::npos;) {
        const std::size_t next = text.find(clear, at + clear.size());
        states.push_back(text.substr(at + clear.size(), next == std::string::npos ? std::string::npos : next - at - clear.size()));
        at = next;
    }
    return states;
}

// ---- plain ----

TEST(PlainFrontEnd, PrintsAFewStatusLinesForAWholeDownload)
{
    StderrToFile err;
    auto frontEnd = createTerminalFrontEnd(false);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 100, 1000);
    finishDownload(*frontEnd);
    frontEnd->window().close();
    frontEnd.reset();
    err.restore();

    const std::string text = err.text();
    const std::vector<std::string> lines = linesOf(text);
    EXPECT_LE(lines.size(), 6u) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << "no terminal escapes in plain output";
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Downloading   0%");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Downloading 100%"), lines.end()) << text;
    EXPECT_EQ(lines.back(), "Initializing the installer");
    // Each line once.
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size()) << text;
    EXPECT_EQ(delegate.calls, 1);
}

TEST(PlainFrontEnd, PrintsPercentagesOnlyInLargeSteps)
{
    StderrToFile err;
    auto frontEnd = createTerminalFrontEnd(false);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 100, 10);
    err.restore();

    std::vector<int> percentages;
    for (const std::string& line : linesOf(err.text()))
        percentages.push_back(std::atoi(line.substr(line.find_first_of("0123456789")).c_str()));
    ASSERT_GE(percentages.size(), 2u);
    for (std::size_t i = 1; i < percentages.size(); ++i)
        EXPECT_TRUE(percentages[i] >= percentages[i - 1] + 25 || percentages[i] == 100)
            << percentages[i - 1] << " then " << percentages[i];
    EXPECT_EQ(percentages.back(), 100);
}

TEST(PlainFrontEnd, PrintsTheFailureAsALine)
{
    StderrToFile err;
    auto frontEnd = createTerminalFrontEnd(false);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 10, 1000);
    fail(*frontEnd, downloadErrorText);
    frontEnd->window().close();
    err.restore();

    const std::vector<std::string> lines = linesOf(err.text());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), downloadErrorText);
    EXPECT_EQ(err.text().find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), downloadErrorText), 1);
}

TEST(PlainFrontEnd, PrintsNothingBeforeShowOrAfterClose)
{
    StderrToFile err;
    auto frontEnd = createTerminalFrontEnd(false);
    frontEnd->downloadPercent().setStringValue("Before");
    CountingDelegate delegate;
    frontEnd->window().setDelegate(&delegate);
    frontEnd->window().show();
    frontEnd->downloadPercent().setStringValue("During");
    frontEnd->window().close();
    frontEnd->downloadPercent().setStringValue("After");
    err.restore();

    const std::string text = err.text();
    EXPECT_FALSE(contains(text, "After")) << text;
    EXPECT_TRUE(contains(text, "During\n")) << text;
}

// ---- both ----

TEST(TerminalFrontEnds, CloseTellsTheDelegateOnceThenIsClosed)
{
    for (const bool interactive : {false, true}) {
        StderrToFile err;
        auto frontEnd = createTerminalFrontEnd(interactive);
        EXPECT_FALSE(frontEnd->window().hasUserToClose());
        Window& window = frontEnd->window();
        // Closing again, even from the delegate, tells it nothing more.
        CountingDelegate delegate([&] { window.close(); });
        window.setDelegate(&delegate);
        window.show();
        window.close();
        window.close();
        EXPECT_EQ(delegate.calls, 1) << (interactive ? "interactive" : "plain");
    }
}

TEST(TerminalFrontEnds, ControlsKeepTheirState)
{
    auto frontEnd = createTerminalFrontEnd(false);
    frontEnd->cancel().setKeyEquivalent("\r");
    EXPECT_TRUE(frontEnd->cancel().isEnabled());
    frontEnd->cancel().setEnabled(false);
    EXPECT_FALSE(frontEnd->cancel().isEnabled());
    frontEnd->progress().setMaxValue(500);
    frontEnd->progress().setDoubleValue(20);
    frontEnd->progress().incrementBy(30);
    EXPECT_EQ(frontEnd->progress().maxValue(), 500);
    EXPECT_EQ(frontEnd->progress().doubleValue(), 50);
    frontEnd->progress().setIndeterminate(true);
    EXPECT_TRUE(frontEnd->progress().isIndeterminate());
    frontEnd->downloadPercent().setStringValue("Hello");
    EXPECT_EQ(frontEnd->downloadPercent().stringValue(), "Hello");
}

TEST(TerminalFrontEnds, TheLoopRunsUntilStopped)
{
    auto frontEnd = createTerminalFrontEnd(false);
    EventLoop& loop = frontEnd->loop();
    loop.callLater(0.0, [&] { loop.stop(7); });
    EXPECT_EQ(loop.run(), 7);
}

// ---- interactive ----

TEST(InteractiveFrontEnd, ShowsStatusBarAndBytesOnOneLine)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 100, 1000);

    // The last chunks came too fast to be drawn each; the last state still is.
    runLoopUntil(frontEnd->loop(), [&] { return contains(pty.read(), "Downloading 100%"); });
    const std::string text = pty.text();
    const std::vector<std::string> states = redraws(text);
    ASSERT_FALSE(states.empty()) << text;
    // Drawn far fewer times than there were chunks.
    EXPECT_LT(states.size(), 50u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line, redrawn in place";
    const std::string last = states.back();
    EXPECT_TRUE(contains(last, "Downloading 100%")) << last;
    EXPECT_TRUE(contains(last, "[" + std::string(30, '#') + "]")) << last;
    EXPECT_TRUE(contains(last, "97.7 KiB / 97.7 KiB")) << last;

    frontEnd->window().close();
    pty.readUntil([](const std::string& all) { return !all.empty() && all.back() == '\n'; });
    EXPECT_EQ(delegate.calls, 1);
}

TEST(InteractiveFrontEnd, ShowsSpeedAndTimeLeftWhileBytesArrive)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    ProgressIndicator& progress = frontEnd->progress();
    progress.setMaxValue(10 * 1024 * 1024);
    progress.setIndeterminate(false);
    frontEnd->downloadPercent().setStringValue(downloadingText(0));
    progress.startAnimation();

    // Chunks from the loop, spread out so that a speed can be measured.
    EventLoop& loop = frontEnd->loop();
    std::function<void()> chunk = [&] {
        progress.incrementBy(64 * 1024);
        frontEnd->downloadPercent().setStringValue(downloadingText(progress.doubleValue() * 100 / progress.maxValue()));
        progress.displayIfNeeded();
        loop.callLater(0.05, chunk);
    };
    loop.callLater(0.0, chunk);
    runLoopUntil(loop, [&] { return contains(pty.read(), " left"); });
    const std::vector<std::string> states = redraws(pty.text());
    ASSERT_FALSE(states.empty());
    const std::string& last = states.back();
    EXPECT_TRUE(contains(last, "/s")) << last;
    EXPECT_TRUE(contains(last, "/ 10.0 MiB")) << last;
    EXPECT_TRUE(contains(last, "#-")) << "a partly filled bar: " << last;
    frontEnd->window().close();
}

TEST(InteractiveFrontEnd, AnimatesAnIndeterminateBarAndCountsBytes)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    frontEnd->progress().setIndeterminate(true);
    frontEnd->progress().startAnimation();

    // The block moves with the loop's timer, without any other change.
    std::set<std::string> frames;
    runLoopUntil(frontEnd->loop(), [&] {
        for (const std::string& state : redraws(pty.read()))
            frames.insert(state);
        return frames.size() >= 3;
    });

    // Bytes that arrive without a known total are counted.
    frontEnd->progress().incrementBy(300 * 1024);
    frontEnd->window().displayIfNeeded();
    pty.readUntil([](const std::string& all) { return contains(all, "300.0 KiB"); });
    EXPECT_FALSE(contains(redraws(pty.text()).back(), " / ")) << "no total while indeterminate";

    // Stopped: no more frames come.
    frontEnd->progress().stopAnimation();
    pty.read(std::chrono::milliseconds(50));
    const std::size_t before = pty.text().size();
    bool stopped = false;
    frontEnd->loop().callLater(0.5, [&] {
        stopped = true;
        frontEnd->loop().stop(0);
    });
    frontEnd->loop().run();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(pty.read(std::chrono::milliseconds(50)).size(), before) << "the animation timer still runs";
    frontEnd->window().close();
}

TEST(InteractiveFrontEnd, ShowsAFailureInRedOnALineOfItsOwn)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 10, 1000);
    fail(*frontEnd, downloadErrorText);
    const std::string expected = "\x1b[31m" + downloadErrorText + "\x1b[0m\n";
    pty.readUntil([&](const std::string& all) { return contains(all, expected); });

    // Closing adds nothing: the line is already finished.
    frontEnd->window().close();
    frontEnd.reset();
    const std::string text = pty.read(std::chrono::milliseconds(50));
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected) << text;
    EXPECT_EQ(delegate.calls, 1);
}

TEST(InteractiveFrontEnd, CloseFinishesTheLineAndThenDrawsNothing)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 4, 1000);
    finishDownload(*frontEnd);
    frontEnd->window().close();
    const std::string text = pty.readUntil([](const std::string& all) { return !all.empty() && all.back() == '\n'; });
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(contains(redraws(text).back(), "Initializing the installer")) << text;

    frontEnd->downloadPercent().setStringValue("Later");
    frontEnd->progress().incrementBy(10);
    frontEnd->window().displayIfNeeded();
    frontEnd.reset();
    EXPECT_FALSE(contains(pty.read(std::chrono::milliseconds(50)), "Later"));
}

TEST(InteractiveFrontEnd, KeepsTheLineWithinANarrowTerminal)
{
    StderrToPty pty(40);
    auto frontEnd = createTerminalFrontEnd(true);
    CountingDelegate delegate;
    setUp(*frontEnd, delegate);
    downloadInChunks(*frontEnd, 3, 1000 * 1000);
    frontEnd->downloadPercent().setStringValue("A status text much longer than the terminal is wide");
    frontEnd->window().close();
    const std::string text = pty.readUntil([](const std::string& all) { return !all.empty() && all.back() == '\n'; });
    for (std::string state : redraws(text)) {
        if (!state.empty() && state.back() == '\n')
            state.pop_back();
        EXPECT_LE(state.size(), 39u) << state;
    }
}

} // namespace
