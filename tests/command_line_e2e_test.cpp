// The built launcher, copied into an installer bundle, run as a user would
// run it: the real unzip unpacks the agent, the real sh runs it, and the
// recording agent tells what it was given.

#include "support/bundle_layout.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

const std::string kAgentDirCache = ".kelvor/installagent/Q3071x/ostx86/installagent";

std::string printable(const std::vector<std::string>& words)
{
    std::string shown;
    for (const auto& word : words) {
        shown += "[";
        for (unsigned char c : word)
            shown += c == '\n' ? std::string("\\n") : std::string(1, static_cast<char>(c));
        shown += "] ";
    }
    return shown;
}

class CommandLine : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string home = scratch.makeDir("home");
    std::string tmp = scratch.makeDir("tmp $TMPDIR dir");
    std::string record = scratch.makeDir("record");
    std::string cwd = scratch.makeDir("cwd");

    // A bundle with the recording agent as InstallAgent.zip and a payload.
    BundleLayout appWithAgent(const std::string& parent, const std::string& appName = "Installer.app")
    {
        BundleLayout layout = makeAppBundle(parent, appName);
        makeInstallAgentZip(layout.resources + "/InstallAgent.zip", kRecordingAgentScript);
        writeBundlePayload(layout.resources);
        return layout;
    }

    BundleLayout flatWithAgent(const std::string& parent, const std::string& dirName = "installer")
    {
        BundleLayout layout = makeFlatBundle(parent, dirName);
        makeInstallAgentZip(layout.resources + "/InstallAgent.zip", kRecordingAgentScript);
        writeBundlePayload(layout.resources);
        return layout;
    }

    // Runs the launcher at `executable` from `cwd`, with a private HOME and
    // TMPDIR, and nothing in the environment that would change its course.
    ProcessResult launch(const std::string& executable, const std::vector<std::string>& arguments,
                         const EnvChanges& extra = {})
    {
        std::vector<std::string> argv{executable};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EnvChanges env{
            {"HOME", home},
            {"TMPDIR", tmp},
            {"AGENT_RECORD", record},
            {"AGENT_EXIT", std::nullopt},
            {"AGENT_TAG", std::nullopt},
            {"__ZX_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt},
            // Should a run ever reach the download, it must stay on this machine.
            {"ZX_INTERNAL_INSTALL_AGENT_URL", "http://127.0.0.1:9/InstallAgent.zip"},
            {"ZX_INSTALLER_UI", "plain"},
            {"DISPLAY", std::nullopt},
        };
        env.insert(env.end(), extra.begin(), extra.end());
        return run(argv, env, cwd);
    }

    ProcessResult launch(const BundleLayout& layout, const std::vector<std::string>& arguments,
                         const EnvChanges& extra = {})
    {
        return launch(layout.executable, arguments, extra);
    }

    std::vector<std::string> expectedArgs(const BundleLayout& layout, const std::vector<std::string>& arguments)
    {
        std::vector<std::string> expected{"-installbundle", layout.payload()};
        expected.insert(expected.end(), arguments.begin(), arguments.end());
        return expected;
    }

    void expectSucceeded(const ProcessResult& result)
    {
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe() << "\nstderr:\n" << result.err;
        EXPECT_EQ(result.err, "");
    }

    void expectScratchGone() { EXPECT_EQ(listDirectory(tmp), std::vector<std::string>{}) << "TMPDIR " << tmp; }
};

} // namespace

TEST_F(CommandLine, AppBundleRunsTheShippedAgentWithPayloadAndArguments)
{
    const BundleLayout layout = appWithAgent(scratch.makeDir("Applications"));
    const ProcessResult result = launch(layout, {"alpha", "--beta=2"});
    expectSucceeded(result);
    EXPECT_EQ(result.out, "");

    const AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.args, expectedArgs(layout, {"alpha", "--beta=2"})) << printable(agent.args);
    EXPECT_EQ(layout.payload(), layout.bundleDir + "/Contents/Resources/bundle.zip");
    expectScratchGone();
}

TEST_F(CommandLine, FlatLayoutRunsTheAgentBesideTheExecutable)
{
    const BundleLayout layout = flatWithAgent(scratch.makeDir("opt"));
    const ProcessResult result = launch(layout, {"alpha"});
    expectSucceeded(result);

    const AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.args, expectedArgs(layout, {"alpha"})) << printable(agent.args);
    EXPECT_EQ(layout.payload(), layout.bundleDir + "/bundle.zip");
    expectScratchGone();
}

TEST_F(CommandLine, WithoutArgumentsTheAgentGetsOnlyThePayload)
{
    const BundleLayout layout = appWithAgent(scratch.path());
    expectSucceeded(launch(layout, {}));
    EXPECT_EQ(readAgentRecord(record).args, expectedArgs(layout, {}));
}

TEST_F(CommandLine, AlternativeArchiveIsChosenOnlyWithoutTheShippedOne)
{
    const BundleLayout layout = makeAppBundle(scratch.path());
    writeBundlePayload(layout.resources);
    const std::string alternative = std::string("AGENT_TAG=alternative\n") + kRecordingAgentScript;
    makeInstallAgentZip(layout.resources + "/InstallAgent_2.zip", alternative);
    makeInstallAgentZip(layout.resources + "/installagent_3.zip", std::string("AGENT_TAG=wrong\n") + kRecordingAgentScript);

    expectSucceeded(launch(layout, {"x"}));
    AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.tag, "alternative");
    EXPECT_EQ(agent.args, expectedArgs(layout, {"x"}));

    removeTree(record + "/args");
    makeInstallAgentZip(layout.resources + "/InstallAgent.zip", std::string("AGENT_TAG=shipped\n") + kRecordingAgentScript);
    expectSucceeded(launch(layout, {"x"}));
    agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.tag, "shipped");
}

TEST_F(CommandLine, ArgumentsReachTheAgentUnchangedAndOneForOne)
{
    const BundleLayout layout = appWithAgent(scratch.path());
    const std::vector<std::string> arguments = {
        "two words", "it's", "say \"hi\"", "$HOME", "${PATH}", "a;b", "`id`", "$(id)", "line1\nline2", "",
        "*", "~", "-n", "\\", "\\\"", "#not a comment", "--", "a|b&c>d<e", "\t", "\xc3\xbc\xe2\x82\xac", "",
    };
    const ProcessResult result = launch(layout, arguments);
    expectSucceeded(result);
    const AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.args, expectedArgs(layout, arguments)) << printable(agent.args);
    EXPECT_EQ(listDirectory(cwd), std::vector<std::string>{}) << "nothing may be run or redirected by an argument";
}

TEST_F(CommandLine, BundlePathWithBlanksAndDollarSigns)
{
    const std::string parent = scratch.makeDir("Disk 1/$HOME dir `x`");
    const BundleLayout layout = appWithAgent(parent, "My $PATH Installer 'v2'.app");
    const ProcessResult result = launch(layout, {"arg"});
    expectSucceeded(result);
    const AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.args, expectedArgs(layout, {"arg"})) << printable(agent.args);
}

TEST_F(CommandLine, FlatBundlePathWithBlanksAndDollarSigns)
{
    const BundleLayout layout = flatWithAgent(scratch.makeDir("a b"), "$1 installer \"x\" \\y");
    expectSucceeded(launch(layout, {}));
    EXPECT_EQ(readAgentRecord(record).args, expectedArgs(layout, {}));
}

TEST_F(CommandLine, AgentFailureIsNotTheLaunchersFailure)
{
    const BundleLayout layout = appWithAgent(scratch.path());
    for (const char* status : {"1", "42"}) {
        removeTree(record + "/args");
        const ProcessResult result = launch(layout, {}, {{"AGENT_EXIT", status}});
        expectSucceeded(result);
        EXPECT_TRUE(readAgentRecord(record).ran) << status;
    }
    expectScratchGone();
}

TEST_F(CommandLine, BrokenArchiveEndsTheRunWithItsReasons)
{
    const BundleLayout layout = makeAppBundle(scratch.path());
    writeBundlePayload(layout.resources);
    writeFile(layout.resources + "/InstallAgent.zip", "PK\x03\x04 but not really a zip archive");

    const ProcessResult result = launch(layout, {"x"});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe();
    const std::vector<std::string> lines = splitLines(result.err);
    const std::vector<std::string> expected = {"Failed to unzip the install agent",
                                               "Failed to initialize the install agent.", "Installation failed."};
    ASSERT_GE(lines.size(), expected.size()) << result.err;
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), expected) << result.err;
    EXPECT_FALSE(readAgentRecord(record).ran);
    expectScratchGone();
}

TEST_F(CommandLine, AgentRunsFromTheScratchDirectoryWhichIsRemovedAfterwards)
{
    const BundleLayout layout = appWithAgent(scratch.path());
    writeFile(tmp + "/someone else's file", "stays");
    const ProcessResult result = launch(layout, {});
    expectSucceeded(result);

    const AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.pwd, cwd) << "the launcher does not change the working directory";
    EXPECT_EQ(baseName(agent.self), "install");
    const std::string scratchDir = parentOf(agent.self);
    EXPECT_EQ(parentOf(scratchDir), tmp);
    const std::string name = baseName(scratchDir);
    EXPECT_EQ(name.size(), 8u) << name;
    EXPECT_EQ(name.substr(0, 2), "zx") << name;
    EXPECT_FALSE(pathExists(scratchDir));
    EXPECT_EQ(listDirectory(tmp), std::vector<std::string>{"someone else's file"});
}

TEST_F(CommandLine, UnitTestSwitchUnpacksBesideTheAppBundle)
{
    const BundleLayout layout = appWithAgent(scratch.makeDir("Applications"));
    const ProcessResult result = launch(layout, {"x"}, {{"__ZX_BOOTSTRAP_INSTALLER_UNITTEST__", ""}});
    expectSucceeded(result);

    const AgentRecord agent = readAgentRecord(record);
    ASSERT_TRUE(agent.ran);
    EXPECT_EQ(agent.self, layout.parent + "/install");
    EXPECT_EQ(agent.args, expectedArgs(layout, {"x"}));
    EXPECT_TRUE(isRegularFile(layout.parent + "/install")) << "it stays: it is not in the scratch directory";
    expectScratchGone();
}

TEST_F(CommandLine, UnitTestSwitchUnpacksBesideTheFlatDirectory)
{
    const BundleLayout layout = flatWithAgent(scratch.makeDir("opt"));
    const ProcessResult result = launch(layout, {}, {{"__ZX_BOOTSTRAP_INSTALLER_UNITTEST__", ""}});
    expectSucceeded(result);
    EXPECT_EQ(readAgentRecord(record).self, layout.parent + "/install");
    EXPECT_FALSE(pathExists(layout.bundleDir + "/install"));
    expectScratchGone();
}

TEST_F(CommandLine, MissingTemporaryDirectoryFallsBackToTmpNotBesideTheBundle)
{
    const BundleLayout layout = flatWithAgent(scratch.makeDir("Applications"));
    const std::vector<std::string> before = listDirectory(layout.bundleDir);
    const ProcessResult result = launch(layout, {}, {{"TMPDIR", scratch / "no such dir"}});
    expectSucceeded(result);
    const std::string self = readAgentRecord(record).self;
    EXPECT_EQ(self.rfind("/tmp/zx", 0), 0u) << self;
    EXPECT_FALSE(pathExists(parentOf(self))) << "the scratch directory in /tmp is removed too";
    EXPECT_EQ(listDirectory(layout.bundleDir), before) << "nothing of the run stays beside the user's files";
}

TEST_F(CommandLine, StartedThroughALinkTheRealBundleIsUsed)
{
    const BundleLayout layout = appWithAgent(scratch.makeDir("Applications"));
    const std::string link = scratch.makeDir("bin") + "/installer";
    ASSERT_EQ(symlink(layout.executable.c_str(), link.c_str()), 0);

    expectSucceeded(launch(link, {"x"}));
    EXPECT_EQ(readAgentRecord(record).args, expectedArgs(layout, {"x"}));
    expectScratchGone();
}

TEST_F(CommandLine, NoAgentArchiveFails)
{
    const BundleLayout layout = makeAppBundle(scratch.path());
    writeBundlePayload(layout.resources);

    const ProcessResult result = launch(layout, {"x"});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe() << "\n" << result.err;
    const std::vector<std::string> lines = splitLines(result.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Installation failed.");
    EXPECT_FALSE(readAgentRecord(record).ran);
    EXPECT_TRUE(isDirectory(home + "/" + kAgentDirCache)) << "the cache is made ready for a download";
    EXPECT_EQ(permissionBits(home + "/.kelvor"), 0700u);
    expectScratchGone();
}

TEST_F(CommandLine, ArchiveWithoutATopLevelInstallStillCountsAsStarted)
{
    const BundleLayout layout = makeAppBundle(scratch.path());
    writeBundlePayload(layout.resources);
    makeZip(layout.resources + "/InstallAgent.zip", {{"agent/install", kRecordingAgentScript}});

    const ProcessResult result = launch(layout, {});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
    EXPECT_NE(result.err.find("install"), std::string::npos) << "the shell says what it could not open";
    EXPECT_EQ(result.err.find("Installation failed."), std::string::npos);
    EXPECT_FALSE(readAgentRecord(record).ran);
    expectScratchGone();
}

// The executable needs no GUI library: machines without X11 or FLTK run it
// with the terminal and plain front ends (only the window module links them).
TEST(LauncherExecutable, LinksNoGuiLibrary)
{
    const ProcessResult needed = run({"readelf", "-d", launcherBinary()});
    ASSERT_EQ(needed.exitCode, 0) << needed.err;
    EXPECT_NE(needed.out.find("libcurl"), std::string::npos) << needed.out;
    for (const char* gui : {"libX11", "libfltk", "libXft", "libfontconfig"})
        EXPECT_EQ(needed.out.find(gui), std::string::npos) << gui << " in\n" << needed.out;
}
