// The launcher itself with its download window, through a real download
// from the loopback test server, on a real X server (Xvfb): the window shows
// the download and goes before the agent runs; closing it cancels the run.

#include "support/bundle_layout.h"
#include "support/http_server.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/png_writer.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/x_test_display.h"
#include "support/xvfb.h"
#include "platform/child_process.h"
#include "ui/fltk/fltk_layout.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// The launcher names its download window after its bundle: the flat
// directory's name, or the application bundle's without ".app".
const std::string flatTitle = "Acme Setup";
const std::string appTitle = "Example Installer";

class LauncherWindow : public XvfbSuite {
protected:
    void SetUp() override
    {
        XvfbSuite::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        flat_ = sandbox_.flatBundle(flatTitle);
        app_ = sandbox_.appBundle(appTitle + ".app");
        for (const BundleLayout* bundle : {&flat_, &app_}) {
            addWindowModule(*bundle);
            writeFile(bundle->resources + "/splash.png", png(320, 200, solid(320, 200, 20, 60, 160)));
        }
        makeInstallAgentZip(scratch_ / "agent.zip", countingAgentScript("window"));
    }

    ProcessOptions launcher(const BundleLayout& bundle, const std::string& query, EnvChanges more = {}) const
    {
        const std::string url = server_http_.url("/agent.zip?file=" + (scratch_ / "agent.zip") + query);
        EnvChanges env{{"DISPLAY", display()},
                       {launcherenv::kFrontEnd, "window"},
                       // FLTK's font set-up keeps a few allocations to the end of the process.
                       {"ASAN_OPTIONS", "detect_leaks=0"}};
        env.insert(env.end(), more.begin(), more.end());
        return sandbox_.options({bundle.executable, "from the window"}, downloadingFrom(url, env));
    }

    // An unzip first on PATH that says when it starts (its process id in
    // unzip-started), waits that many seconds, then unpacks with the real one.
    EnvChanges slowUnzip(int seconds) const
    {
        const std::string shims = scratch_.makeDir("shims");
        const std::string realUnzip = findProgram("unzip");
        writeFile(shims + "/unzip",
                  "#!/bin/sh\necho $$ > '" + started_ + ".new' && mv '" + started_ + ".new' '" + started_ + "'\n" +
                      "sleep " + std::to_string(seconds) + "\nexec '" + realUnzip + "' \"$@\"\n",
                  0755);
        const char* path = std::getenv("PATH");
        return {{"PATH", shims + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};
    }
    bool unzipStarted() const { return pathExists(started_); }
    pid_t unzipPid() const { return static_cast<pid_t>(std::atoi(readFile(started_).c_str())); }

    int agentStarts() const { return sandbox_.agentStarts(); }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
    HttpTestServer server_http_;
    BundleLayout flat_;
    BundleLayout app_;
    const std::string started_ = scratch_ / "unzip-started";
};

// Finds the window once it is on the screen.
XTestDisplay::WindowId waitForWindow(BackgroundProcess& run, XTestDisplay& x, const std::string& title)
{
    XTestDisplay::WindowId id = 0;
    EXPECT_TRUE(run.waitUntil([&] {
        id = x.findWindow(title);
        return id != 0 && x.isViewable(id);
    })) << run.err();
    return id;
}

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
    EXPECT_EQ(sandbox_.agentRecord().args,
              (std::vector<std::string>{"-installbundle", flat_.payload(), "from the window"}));
    EXPECT_EQ(readFile(sandbox_.cacheDir + ".validatestring"), "\"w1\"");
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
    EXPECT_EQ(splitLines(result.err).back(), messages::kInstallationFailed);
    EXPECT_EQ(agentStarts(), 0);
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty()) << "scratch directory or partial archive left behind";
}

TEST_F(LauncherWindow, KeepsDrawingWhileUnzipRunsAndItsCloseBoxEndsTheUnpack)
{
    XTestDisplay x(display());
    ASSERT_TRUE(x.connected());
    BackgroundProcess run(launcher(flat_, "&etag=%22w3%22", slowUnzip(60)));
    const XTestDisplay::WindowId id = waitForWindow(run, x, flatTitle);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(run.waitUntil([&] { return unzipStarted(); })) << run.err();

    // The busy bar moves while unzip runs: the loop serves the window.
    const WindowLayout layout = layOutWindow(1.0, true);
    const auto barRow = [&] { return x.pixels(id, layout.bar.x, layout.bar.y + layout.bar.h / 2, layout.bar.w, 1); };
    const auto first = barRow();
    ASSERT_FALSE(first.empty());
    const auto same = [](const std::vector<XTestDisplay::Rgb>& a, const std::vector<XTestDisplay::Rgb>& b) {
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
            if (a[i].red != b[i].red || a[i].green != b[i].green || a[i].blue != b[i].blue)
                return false;
        return a.size() == b.size();
    };
    EXPECT_TRUE(run.waitUntil([&] { return !same(barRow(), first); })) << "the window froze while unzip ran";

    // Its close box ends the unpack as a cancel: unzip goes, and nothing of it stays.
    const pid_t unzip = unzipPid();
    x.requestClose(id);
    x.sync();
    const ProcessResult result = run.wait();
    EXPECT_EQ(result.exitCode, 255) << result.describe() << "\n" << result.err;
    EXPECT_EQ(splitLines(result.err).back(), messages::kInstallationFailed);
    EXPECT_EQ(agentStarts(), 0);
    EXPECT_NE(kill(unzip, 0), 0) << "unzip outlived the run";
    EXPECT_EQ(listDirectory(sandbox_.cacheDir), (std::vector<std::string>{".lock", "installagent"}));
    EXPECT_TRUE(listDirectory(sandbox_.tmp).empty());
}

TEST_F(LauncherWindow, AFailedDownloadSaysWhyAndWaitsForItsCloseButton)
{
    XTestDisplay x(display());
    ASSERT_TRUE(x.connected());
    if (!x.canPlayUser())
        GTEST_SKIP() << "the X server has no XTEST extension";
    BackgroundProcess run(launcher(flat_, "&status=404"));
    const XTestDisplay::WindowId id = waitForWindow(run, x, flatTitle);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(run.waitForOutput("404")) << "no log line";
    // The red sentence on its two lines.
    const WindowLayout layout = layOutWindow(1.0, true);
    const LayoutBox secondLine{layout.message.x, layout.message.y + layout.statusLineHeight, layout.message.w,
                               layout.statusLineHeight};
    EXPECT_TRUE(run.waitUntil([&] {
        for (const auto& p : x.pixels(id, secondLine.x, secondLine.y, secondLine.w, secondLine.h))
            if (p.red > 150 && p.green < 90 && p.blue < 90)
                return true;
        return false;
    })) << "the failure is not shown whole";
    if (const char* directory = std::getenv("LAUNCHER_WINDOW_SCREENSHOTS"))
        writeFile(std::string(directory) + "/launcher-failed.png", png(x.screenWidth(), x.screenHeight(), x.screen()));
    EXPECT_TRUE(run.running()) << "the window did not wait for its user";

    int left = 0, top = 0, width = 0, height = 0;
    ASSERT_TRUE(x.geometry(id, left, top, width, height));
    x.movePointer(left + width / 2, top + height / 2);
    x.pressKey("Return");
    x.sync();
    const ProcessResult result = run.wait();
    EXPECT_EQ(result.exitCode, 255) << result.describe() << "\n" << result.err;
    EXPECT_EQ(splitLines(result.err).back(), messages::kInstallationFailed);
    EXPECT_EQ(agentStarts(), 0);
}

} // namespace
