// The terminal front ends, driven as the download controller drives them,
// with their output read back: plain lines from a file standing in for
// stderr, and the interactive line from a real pseudo-terminal.

#include "download/download_controller.h"
#include "launcher/error_reporter.h"
#include "platform/event_loop.h"
#include "support/controller_script.h"
#include "support/launcher_messages.h"
#include "support/launcher_variables.h"
#include "support/process.h"
#include "support/loop_until.h"
#include "support/recording_widgets.h"
#include "support/stderr_capture.h"
#include "ui/front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using testsupport::ControllerScript;
using testsupport::runLoopUntil;
using testsupport::ScopedEnv;
using testsupport::StderrToFile;
using testsupport::StderrToPty;
namespace launcherenv = testsupport::launcherenv;
namespace messages = testsupport::messages;

namespace {

// What the controller does before the download starts, and the window shown.
void setUp(FrontEnd& frontEnd, ControllerScript& script, WindowDelegate& delegate)
{
    script.setUp(delegate);
    frontEnd.window().show();
    EXPECT_FALSE(frontEnd.image().showImageFromFile("/nonexistent/splash.png", 400, 400));
    script.connect("http://127.0.0.1:1/agent");
}

// A response with a known length, then the chunks, as the controller shows them.
void downloadInChunks(ControllerScript& script, int chunks, std::int64_t chunkSize)
{
    script.respond(chunks * chunkSize);
    for (int i = 0; i < chunks; ++i)
        script.receive(chunkSize);
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

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

// What stays on the terminal's screen (and in its scrollback) after the
// text: "\r" goes back to the start of the line, "\x1b[K" erases the rest of
// it, "\n" starts the next; other escapes (colours) draw nothing.
std::vector<std::string> screenLines(const std::string& text)
{
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < text.size() && !std::isalpha(static_cast<unsigned char>(text[end])))
                ++end;
            if (end < text.size() && text[end] == 'K')
                lines.back().erase(std::min(column, lines.back().size()));
            i = end;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (line.size() <= column)
                line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

bool endsWithAnErasedLine(const std::string& all)
{
    return all.ends_with("\r\x1b[K");
}

// ---- plain ----

TEST(PlainFrontEnd, PrintsAFewStatusLinesForAWholeDownload)
{
    StderrToFile err;
    auto frontEnd = createTerminalFrontEnd(false);
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 100, 1000);
    script.finish();
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
    EXPECT_EQ(lines.back(), messages::kInitializingInstaller);
    // Each line once.
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size()) << text;
    EXPECT_EQ(delegate.calls, 1);
}

TEST(PlainFrontEnd, PrintsPercentagesOnlyInLargeSteps)
{
    StderrToFile err;
    auto frontEnd = createTerminalFrontEnd(false);
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 100, 10);
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
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 10, 1000);
    script.fail(messages::kDownloadError);
    frontEnd->window().close();
    err.restore();

    const std::vector<std::string> lines = linesOf(err.text());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), messages::kDownloadError);
    EXPECT_EQ(err.text().find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), messages::kDownloadError), 1);
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
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 100, 1000);

    // The last chunks came too fast to be drawn each; the last state still is.
    EXPECT_TRUE(runLoopUntil(frontEnd->loop(), [&] { return contains(pty.read(), "Downloading 100%"); }))
        << "the condition did not come true";
    const std::string text = pty.text();
    const std::vector<std::string> states = redraws(text);
    ASSERT_FALSE(states.empty()) << text;
    EXPECT_EQ(states.front(), "Connecting to 127.0.0.1\u2026") << "nothing said before the response";
    // Drawn far fewer times than there were chunks.
    EXPECT_LT(states.size(), 50u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line, redrawn in place";
    const std::string last = states.back();
    EXPECT_TRUE(contains(last, "Downloading 100%")) << last;
    EXPECT_TRUE(contains(last, "[" + std::string(30, '#') + "]")) << last;
    EXPECT_TRUE(contains(last, "97.7 KiB / 97.7 KiB")) << last;

    frontEnd->window().close();
    pty.readUntil(endsWithAnErasedLine);
    EXPECT_EQ(delegate.calls, 1);
}

TEST(InteractiveFrontEnd, ShowsSpeedAndTimeLeftWhileBytesArrive)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    script.respond(10 * 1024 * 1024);

    // Chunks from the loop, spread out so that a speed can be measured.
    EventLoop& loop = frontEnd->loop();
    std::function<void()> chunk = [&] {
        script.receive(64 * 1024);
        loop.callLater(0.05, chunk);
    };
    loop.callLater(0.0, chunk);
    EXPECT_TRUE(runLoopUntil(loop, [&] { return contains(pty.read(), " left"); })) << "the condition did not come true";
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
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    script.respond(-1);

    // The block moves with the loop's timer, without any other change.
    std::set<std::string> frames;
    EXPECT_TRUE(runLoopUntil(frontEnd->loop(), [&] {
        for (const std::string& state : redraws(pty.read()))
            frames.insert(state);
        return frames.size() >= 3;
    })) << "the condition did not come true";

    // Bytes that arrive without a known total are counted.
    script.receive(300 * 1024);
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
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 10, 1000);
    script.fail(messages::kDownloadError);
    const std::string expected = "\x1b[31m" + messages::kDownloadError + "\x1b[0m\n";
    pty.readUntil([&](const std::string& all) { return contains(all, expected); });

    // Closing adds nothing: the line is already finished.
    frontEnd->window().close();
    frontEnd.reset();
    const std::string text = pty.read(std::chrono::milliseconds(50));
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected) << text;
    EXPECT_EQ(delegate.calls, 1);
}

TEST(InteractiveFrontEnd, CloseErasesTheLineLeavingNoFrameBehindAndThenDrawsNothing)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 4, 1000);
    script.finish();
    frontEnd->window().close();
    const std::string text = pty.readUntil(endsWithAnErasedLine);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0) << text;
    const std::vector<std::string> states = redraws(text);
    ASSERT_GE(states.size(), 2u) << text;
    EXPECT_TRUE(contains(states[states.size() - 2], messages::kInitializingInstaller)) << text;
    EXPECT_TRUE(screenLines(text).empty()) << "a frame stays on the screen: " << screenLines(text).front();

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
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 3, 1000 * 1000);
    // The figures stay: the bar goes first.
    EXPECT_TRUE(runLoopUntil(frontEnd->loop(), [&] { return contains(pty.read(), "2.9 MiB / 2.9 MiB"); }))
        << "the bytes went before the bar: " << pty.text();
    frontEnd->downloadPercent().setStringValue("A status text much longer than the terminal is wide");
    frontEnd->window().close();
    const std::string text = pty.readUntil(endsWithAnErasedLine);
    for (std::string state : redraws(text)) {
        if (!state.empty() && state.back() == '\n')
            state.pop_back();
        EXPECT_LE(state.size(), 39u) << state;
    }
}

// ---- the terminal's conventions ----

TEST(TerminalConventions, NoColorDrawsTheFailureWithoutColour)
{
    StderrToPty pty;
    ScopedEnv noColor("NO_COLOR", "1");
    auto frontEnd = createTerminalFrontEnd(true);
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 10, 1000);
    script.fail(messages::kDownloadError);
    pty.readUntil([](const std::string& all) { return contains(all, messages::kDownloadError + "\n"); });
    frontEnd->window().close();
    EXPECT_FALSE(contains(pty.read(std::chrono::milliseconds(50)), "\x1b[3")) << "a colour with NO_COLOR set";
    EXPECT_TRUE(contains(pty.text(), "\r\x1b[K" + messages::kDownloadError + "\n"));
}

TEST(TerminalConventions, ADumbTerminalGetsPlainLines)
{
    StderrToPty pty;
    ScopedEnv dumb("TERM", "dumb");
    ScopedEnv noDisplay("DISPLAY", std::nullopt);
    ScopedEnv choice(launcherenv::kFrontEnd, std::nullopt);
    auto frontEnd = createFrontEnd("Installer");
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 4, 1000);
    script.fail(messages::kDownloadError);
    frontEnd->window().close();
    frontEnd.reset();
    const std::string text = pty.read(std::chrono::milliseconds(50));
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(linesOf(text), (std::vector<std::string>{"Downloading   0%", "Downloading  25%", "Downloading  50%",
                                                      "Downloading  75%", "Downloading 100%", messages::kDownloadError}));
}

TEST(TerminalConventions, AnErrorLineStartsAfreshOverAnUnfinishedProgressLine)
{
    StderrToPty pty;
    auto frontEnd = createTerminalFrontEnd(true);
    ControllerScript script(*frontEnd);
    CountingDelegate delegate;
    setUp(*frontEnd, script, delegate);
    downloadInChunks(script, 2, 1000);
    ASSERT_TRUE(runLoopUntil(frontEnd->loop(), [&] { return contains(pty.read(), "Downloading 100%"); }));
    const std::string unzipFailed = "Failed to unzip the install agent";
    report_error_main(unzipFailed, true);
    pty.readUntil([&](const std::string& all) { return contains(all, unzipFailed + "\n"); });
    const std::vector<std::string> screen = screenLines(pty.text());
    EXPECT_TRUE(std::find(screen.begin(), screen.end(), unzipFailed) != screen.end()) << pty.text();
    frontEnd->window().close();
}

} // namespace
