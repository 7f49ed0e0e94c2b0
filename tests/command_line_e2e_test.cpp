// The built launcher, copied into an installer bundle, run as a user would
// run it: the real unzip unpacks the agent, the real sh runs it, and the
// recording agent tells what it was given.

#include "support/bundle_layout.h"
#include "support/launcher_messages.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/terminal_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

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
    // The temporary directory's name shows that nothing re-reads its path.
    LauncherSandbox sandbox{"tmp $TMPDIR dir"};
    const ScratchDir& scratch = sandbox.scratch;
    const std::string& home = sandbox.home;
    const std::string& tmp = sandbox.tmp;
    const std::string& record = sandbox.record;
    std::string cwd = scratch.makeDir("cwd");

    // A bundle with the recording agent as InstallAgent.zip and a payload.
    BundleLayout appWithAgent(const std::string& parent, const std::string& appName = "Installer.app")
    {
        BundleLayout layout = sandbox.appBundle(appName, parent);
        makeInstallAgentZip(layout.resources + "/InstallAgent.zip", kRecordingAgentScript);
        return layout;
    }

    BundleLayout flatWithAgent(const std::string& parent, const std::string& dirName = "installer")
    {
        BundleLayout layout = sandbox.flatBundle(dirName, parent);
        makeInstallAgentZip(layout.resources + "/InstallAgent.zip", kRecordingAgentScript);
        return layout;
    }

    // Runs the launcher at `executable` from `cwd` in the sandbox: should a
    // run ever reach the download, it stays on this machine and fails at once.
    ProcessResult launch(const std::string& executable, const std::vector<std::string>& arguments,
                         const EnvChanges& extra = {})
    {
        std::vector<std::string> argv{executable};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return sandbox.run(argv, extra, cwd);
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
    const BundleLayout layout = sandbox.appBundle();
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
    const BundleLayout layout = sandbox.appBundle();
    writeFile(layout.resources + "/InstallAgent.zip", "PK\x03\x04 but not really a zip archive");

    const ProcessResult result = launch(layout, {"x"});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe();
    const std::vector<std::string> lines = splitLines(result.err);
    const std::vector<std::string> expected = {messages::kUnzipAgentFailed, messages::kInitializeAgentFailed,
                                               messages::kInstallationFailed};
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
    const ProcessResult result = launch(layout, {"x"}, {{launcherenv::kUnpackBesideBundle, ""}});
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
    const ProcessResult result = launch(layout, {}, {{launcherenv::kUnpackBesideBundle, ""}});
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
    const BundleLayout layout = sandbox.appBundle();

    const ProcessResult result = launch(layout, {"x"});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe() << "\n" << result.err;
    const std::vector<std::string> lines = splitLines(result.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), messages::kInstallationFailed);
    EXPECT_FALSE(readAgentRecord(record).ran);
    EXPECT_TRUE(isDirectory(sandbox.cacheDir + "installagent")) << "the cache is made ready for a download";
    EXPECT_EQ(permissionBits(home + "/.kelvor"), 0700u);
    expectScratchGone();
}

TEST_F(CommandLine, ArchiveWithoutATopLevelInstallStillCountsAsStarted)
{
    const BundleLayout layout = sandbox.appBundle();
    makeZip(layout.resources + "/InstallAgent.zip", {{"agent/install", kRecordingAgentScript}});

    const ProcessResult result = launch(layout, {});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
    EXPECT_NE(result.err.find("install"), std::string::npos) << "the shell says what it could not open";
    EXPECT_EQ(result.err.find(messages::kInstallationFailed), std::string::npos);
    EXPECT_FALSE(readAgentRecord(record).ran);
    expectScratchGone();
}

TEST_F(CommandLine, TerminationSignalsArePassedToTheAgentWhichStartsWithADefaultSignalState)
{
    const BundleLayout layout = sandbox.appBundle();
    makeInstallAgentZip(layout.resources + "/InstallAgent.zip", R"SCRIPT(
for s in TERM HUP INT; do trap "echo $s >> '$AGENT_RECORD/signals'" $s; done
grep -E '^Sig(Blk|Ign)' /proc/self/status > "$AGENT_RECORD/signal-state"
: > "$AGENT_RECORD/started"
while [ ! -e "$AGENT_RECORD/stop" ]; do sleep 0.05; done
exit 7
)SCRIPT");
    BackgroundProcess launcher(sandbox.options({layout.executable}));
    ASSERT_TRUE(launcher.waitUntil([&] { return pathExists(record + "/started"); }));
    // Nothing the launcher ignores or blocks for itself (SIGPIPE, SIGQUIT)
    // reaches the agent. (The C library's own two signals above 31 are left
    // to it: a parent's posix_spawn may hand them on ignored.)
    const std::vector<std::string> state = splitLines(readFile(record + "/signal-state"));
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(state[0], "SigBlk:\t0000000000000000");
    EXPECT_EQ(std::stoull(state[1].substr(state[1].find('\t') + 1), nullptr, 16) & 0x7fffffffu, 0u) << state[1];

    std::string expected;
    for (const auto& [signal, name] : {std::pair{SIGTERM, "TERM"}, {SIGHUP, "HUP"}, {SIGINT, "INT"}}) {
        ASSERT_TRUE(launcher.sendSignal(signal));
        expected += std::string(name) + "\n";
        ASSERT_TRUE(launcher.waitUntil([&] { return pathExists(record + "/signals") && readFile(record + "/signals") == expected; }))
            << name << " did not reach the agent";
    }
    writeFile(record + "/stop", "");
    const ProcessResult result = launcher.wait();
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe() << "\n" << result.err;
    expectScratchGone();
}

// Before the agent starts, a termination signal ends the run in order (the
// scratch directory removed, its last line said) and then by that same
// signal, so that the shell or script that ran the launcher stops as it
// would for any program killed by it.
TEST_F(CommandLine, ATerminationSignalBeforeTheAgentEndsTheRunByThatSignal)
{
    const BundleLayout layout = appWithAgent(scratch.path());
    // unzip that says who started it, then waits to be ended.
    const std::string shims = scratch.makeDir("shims");
    writeFile(shims + "/unzip",
              "#!/bin/sh\necho $PPID > \"$UNZIP_STARTED.part\" && mv \"$UNZIP_STARTED.part\" \"$UNZIP_STARTED\"\n"
              "while :; do sleep 0.05; done\n",
              0755);
    for (const auto& [signal, status] : {std::pair{SIGTERM, "143"}, {SIGHUP, "129"}, {SIGINT, "130"}}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string startedFile = scratch / ("unzip-started-" + std::to_string(signal));
        BackgroundProcess shell(sandbox.options(
            {"sh", "-c", "\"$@\"; echo \"after $?\"", "sh", layout.executable},
            {{"PATH", shims + ":" + std::string(std::getenv("PATH"))}, {"UNZIP_STARTED", startedFile}}, cwd));
        ASSERT_TRUE(shell.waitUntil([&] { return pathExists(startedFile); }));
        ASSERT_EQ(kill(static_cast<pid_t>(std::stol(readFile(startedFile))), signal), 0);
        const ProcessResult result = shell.wait();
        EXPECT_EQ(result.out, std::string("after ") + status + "\n");
        // The launcher's one line; the shell may add its word for the signal.
        const std::vector<std::string> lines = splitLines(result.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), messages::kInstallationFailed) << result.err;
        EXPECT_FALSE(readAgentRecord(record).ran);
        expectScratchGone();
    }
}

TEST_F(CommandLine, AnAgentCommandLineTooLongForTheKernelIsAFailure)
{
    const BundleLayout layout = appWithAgent(scratch.path());
    // Each argument fits, the shell's one command line does not.
    const ProcessResult result = launch(layout, {std::string(100000, 'a'), std::string(100000, 'b')});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe();
    const std::vector<std::string> lines = splitLines(result.err);
    ASSERT_GE(lines.size(), 3u) << result.err;
    EXPECT_EQ(lines[lines.size() - 3], messages::kStartAgentFailed);
    EXPECT_EQ(lines.back(), messages::kInstallationFailed);
    EXPECT_NE(result.err.find("Argument list too long"), std::string::npos) << result.err;
    EXPECT_FALSE(readAgentRecord(record).ran);
    expectScratchGone();
}

TEST_F(CommandLine, AnEncryptedArchiveFailsInsteadOfAskingOnTheTerminal)
{
    const BundleLayout layout = sandbox.appBundle();
    const std::string source = scratch.makeDir("encrypted");
    writeFile(source + "/install", kRecordingAgentScript);
    ASSERT_EQ(run({"zip", "-q", "-P", "secret", layout.resources + "/InstallAgent.zip", "install"}, {}, source).exitCode, 0);

    // The launcher on a terminal of its own that nobody types into: a
    // question there would wait for ever (the safety limit fails the test).
    const TerminalRun result = runOnTerminal({layout.executable}, environmentWith(sandbox.environment()));
    const std::string& output = result.output;
    ASSERT_TRUE(result.finished) << "hung at:\n" << output;
    EXPECT_TRUE(WIFEXITED(result.waitStatus) && WEXITSTATUS(result.waitStatus) == 255) << output;
    EXPECT_NE(output.find(messages::kUnzipAgentFailed), std::string::npos) << output;
    EXPECT_FALSE(readAgentRecord(record).ran);
}

TEST_F(CommandLine, ALauncherThatCannotFindItselfSaysSoAndDownloadsNothing)
{
    // A bundle deeper than the kernel will name (/proc/self/exe cannot be read).
    const std::string top = scratch.makeDir("deep");
    const ProcessResult result = sandbox.run(
        {"bash", "-c", // bash: dash's cd cannot go deeper than the kernel names
         "name=$(printf 'd%.0s' $(seq 250)); cd \"$1\" || exit 90\n"
         "for i in $(seq 18); do mkdir $name && cd $name || exit 91; done\n"
         "cp \"$0\" launcher && : > bundle.zip || exit 92\n"
         "./launcher; status=$?; cd / && rm -rf \"$1\"; exit $status",
         launcherBinary(), top});
    EXPECT_TRUE(result.exited && result.exitCode == 255) << result.describe() << "\n" << result.err;
    const std::vector<std::string> lines = splitLines(result.err);
    ASSERT_GE(lines.size(), 2u) << result.err;
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"Cannot find the launcher's own location: /proc/self/exe: File name too long",
                                        messages::kInstallationFailed}));
    EXPECT_FALSE(pathExists(home + "/.kelvor")) << "nothing was prepared for a download";
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
