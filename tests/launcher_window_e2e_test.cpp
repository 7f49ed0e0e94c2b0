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

#include <gtest/gtest.h>

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
        for (const BundleLayout* bundle : {&flat_, &app_})
            writeFile(bundle->resources + "/splash.png", png(320, 200, solid(320, 200, 20, 60, 160)));
        makeInstallAgentZip(scratch_ / "agent.zip", countingAgentScript("window"));
    }

    ProcessOptions launcher(const BundleLayout& bundle, const std::string& query) const
    {
        const std::string url = server_http_.url("/agent.zip?file=" + (scratch_ / "agent.zip") + query);
        return sandbox_.options({bundle.executable, "from the window"},
                                downloadingFrom(url, {{"DISPLAY", display()},
                                                      {launcherenv::kFrontEnd, "window"},
                                                      // FLTK's font set-up keeps a few allocations to the end of the process.
                                                      {"ASAN_OPTIONS", "detect_leaks=0"}}));
    }

    int agentStarts() const { return sandbox_.agentStarts(); }

    LauncherSandbox sandbox_;
    const ScratchDir& scratch_ = sandbox_.scratch;
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

} // namespace
