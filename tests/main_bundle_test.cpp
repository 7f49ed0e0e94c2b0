// The bundle around an executable (an application bundle's Contents/MacOS,
// or a flat directory), and the main bundle of the running program.

#include "launcher/locations.h"
#include "platform/main_bundle.h"
#include "platform/paths.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace testsupport;

namespace {

void expectBundle(const std::optional<MainBundle>& bundle, const std::string& path, const std::string& resources)
{
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundlePath, path);
    EXPECT_EQ(bundle->resourcePath, resources);
}

} // namespace

TEST(BundleForExecutable, AppLayoutUsesContentsResources)
{
    expectBundle(bundleForExecutable("/Applications/Setup.app/Contents/MacOS/launcher"), "/Applications/Setup.app",
                 "/Applications/Setup.app/Contents/Resources");
    expectBundle(bundleForExecutable("/tmp/a b/$x/Setup It.app/Contents/MacOS/launcher"), "/tmp/a b/$x/Setup It.app",
                 "/tmp/a b/$x/Setup It.app/Contents/Resources");
    // The bundle directory need not end in ".app".
    expectBundle(bundleForExecutable("/opt/Setup/Contents/MacOS/run"), "/opt/Setup", "/opt/Setup/Contents/Resources");
}

TEST(BundleForExecutable, AnythingElseIsFlat)
{
    expectBundle(bundleForExecutable("/opt/installer/launcher"), "/opt/installer", "/opt/installer");
    expectBundle(bundleForExecutable("/launcher"), "/", "/");
    // Only whole components count.
    expectBundle(bundleForExecutable("/opt/MyContents/MacOS/launcher"), "/opt/MyContents/MacOS",
                 "/opt/MyContents/MacOS");
    expectBundle(bundleForExecutable("/opt/X.app/Contents/MacOSX/launcher"), "/opt/X.app/Contents/MacOSX",
                 "/opt/X.app/Contents/MacOSX");
    expectBundle(bundleForExecutable("/opt/X.app/Contents/MacOS/bin/launcher"), "/opt/X.app/Contents/MacOS/bin",
                 "/opt/X.app/Contents/MacOS/bin");
    expectBundle(bundleForExecutable("/opt/X.app/contents/macos/launcher"), "/opt/X.app/contents/macos",
                 "/opt/X.app/contents/macos");
    EXPECT_FALSE(bundleForExecutable("").has_value());
}

TEST(MainBundle, MainBundleIsThatOfTheRunningExecutable)
{
    const std::string self = runningTestProgram();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(readRunningExecutableLink(), self);
    // The test program lives in the build directory, a flat layout.
    expectBundle(mainBundle(), parentOf(self), parentOf(self));
    EXPECT_EQ(getPathToExecutable(), parentOf(self));
}
