// Which front end a run gets: the window where there is a display, text
// when forced or without one, and a forced window that cannot be made falls
// back saying why. On a real X server (Xvfb), each case in a forked child.

#include "platform/unique_fd.h"
#include "support/launcher_messages.h"
#include "support/launcher_variables.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/xvfb.h"
#include "ui/front_end.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using testsupport::inChild;
using testsupport::ScopedEnv;
using testsupport::ScratchDir;
namespace launcherenv = testsupport::launcherenv;
namespace messages = testsupport::messages;
using testsupport::unusedDisplay;

namespace {

const std::string title = "Launcher window test";

class FrontEndSelection : public testsupport::XvfbSuite {};

TEST_F(FrontEndSelection, ChoosesTheWindowWhereThereIsADisplay)
{
    inChild([] {
        ScopedEnv env("DISPLAY", display());
        ScopedEnv choice(launcherenv::kFrontEnd, std::nullopt);
        std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EXPECT_TRUE(frontEnd->window().hasUserToClose()) << "not the window";
    });
}

TEST_F(FrontEndSelection, TextWhenForcedOrWithoutDisplay)
{
    inChild([] {
        {
            ScopedEnv env("DISPLAY", display());
            ScopedEnv choice(launcherenv::kFrontEnd, "plain");
            std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
            ASSERT_TRUE(frontEnd);
            EXPECT_FALSE(frontEnd->window().hasUserToClose());
        }
        {
            ScopedEnv env("DISPLAY", display());
            ScopedEnv choice(launcherenv::kFrontEnd, "terminal");
            std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
            ASSERT_TRUE(frontEnd);
            EXPECT_FALSE(frontEnd->window().hasUserToClose());
        }
        {
            ScopedEnv env("DISPLAY", std::nullopt);
            ScopedEnv choice(launcherenv::kFrontEnd, std::nullopt);
            std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
            ASSERT_TRUE(frontEnd);
            EXPECT_FALSE(frontEnd->window().hasUserToClose());
        }
    });
}

TEST_F(FrontEndSelection, AForcedWindowThatCannotBeMadeFallsBackSayingWhy)
{
    ScratchDir scratch;
    const std::string errPath = scratch / "stderr";
    inChild([&] {
        const UniqueFd err(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        dup2(err.get(), STDERR_FILENO); // not a terminal: plain lines
        const std::string nowhere = unusedDisplay();
        ScopedEnv env("DISPLAY", nowhere);
        ScopedEnv choice(launcherenv::kFrontEnd, "window");
        std::unique_ptr<FrontEnd> frontEnd = createFrontEnd(title);
        ASSERT_TRUE(frontEnd);
        EXPECT_FALSE(frontEnd->window().hasUserToClose());
        // Plain: the status is a line of its own.
        frontEnd->window().show();
        frontEnd->downloadPercent().setStringValue(messages::kInitializingInstaller);
        frontEnd.reset();
        std::ifstream in(errPath);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(nowhere), std::string::npos) << "the reason names the display: " << lines[0];
        EXPECT_EQ(lines[1], messages::kInitializingInstaller);
    });
}

} // namespace
