// Where the launcher stands: its bundle, the directory that holds it, and
// its resources, with the main bundle replaced through the test seam.

#include "launcher/locations.h"
#include "platform/main_bundle.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

class Locations : public ::testing::Test {
protected:
    void TearDown() override { clearMainBundleOverride(); }
};

} // namespace

TEST_F(Locations, DirectoryOfExecutableCutsBeforeTheLastSeparator)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Applications/Setup.app", "/Applications"},
        {"/a/b/", "/a/b"},
        {"/Setup.app", ""},
        {"Setup.app", "Setup.app"},
        {"dir\\name", "dir"},
        {"a/b\\c", "a/b"},
        {"/Volumes/Disk 1/Setup $1.app", "/Volumes/Disk 1"},
    };
    for (const auto& [bundlePath, expected] : cases) {
        overrideMainBundle(MainBundle{bundlePath, "/res"});
        EXPECT_EQ(getPathToExecutable(), bundlePath);
        EXPECT_EQ(getDirectoryOfExecutable(), expected) << "bundle path " << bundlePath;
    }
    overrideMainBundle(MainBundle{"", "/res"});
    EXPECT_EQ(getDirectoryOfExecutable(), "");
}

TEST_F(Locations, BundleLocationIsTheResourceDirectory)
{
    overrideMainBundle(MainBundle{"/Applications/Setup.app", "/Applications/Setup.app/Contents/Resources"});
    EXPECT_EQ(getBundleLocation(), "/Applications/Setup.app/Contents/Resources");
    EXPECT_EQ(getDefaultInstallAgentLocation(), "/Applications/Setup.app/Contents/Resources/InstallAgent.zip");

    overrideMainBundle(MainBundle{"/Applications/Setup.app", "/res/"});
    EXPECT_EQ(getDefaultInstallAgentLocation(), "/res/InstallAgent.zip") << "joined with exactly one separator";

    overrideMainBundle(MainBundle{"/Applications/Setup.app", ""});
    EXPECT_EQ(getBundleLocation(), "/Applications/Setup.app") << "no resource directory: the bundle itself";
    EXPECT_EQ(getDefaultInstallAgentLocation(), "");
}

TEST_F(Locations, WithoutAMainBundleTheExecutableStandsIn)
{
    overrideMainBundle(std::nullopt);
    const std::string self = runningTestProgram();
    EXPECT_EQ(getPathToExecutable(), self);
    EXPECT_EQ(getDirectoryOfExecutable(), parentOf(self));
    EXPECT_EQ(getBundleLocation(), parentOf(self));
    EXPECT_EQ(getDefaultInstallAgentLocation(), "");
}

TEST_F(Locations, ClearingTheOverrideBringsBackTheRealBundle)
{
    overrideMainBundle(MainBundle{"/x/Y.app", "/x/Y.app/Contents/Resources"});
    clearMainBundleOverride();
    EXPECT_EQ(getBundleLocation(), parentOf(runningTestProgram()));
}
