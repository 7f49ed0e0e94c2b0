// Bundles wrapped by launcher-bundle --wrap into one self-extracting file
// (makeself), run as users run them: `sh Acme-Setup.run ...` or
// `./Acme-Setup.run ...`, with every argument reaching the agent, the exit
// status passed back and nothing left in TMPDIR, also after a Ctrl-C.

#include "support/bundle_layout.h"
#include "support/bundle_tool.h"
#include "support/launcher_messages.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

using namespace testsupport;

namespace {

class RunFile : public BundleToolTest {
protected:
    const std::string app = out + "/Acme Setup.app";
    const std::string runFile = out + "/Acme-Setup.run";

    // A bundle whose agent runs the script (none: one that downloads its
    // agent), wrapped into runFile.
    void wrap(const std::string& agentScript)
    {
        std::vector<std::string> arguments = {"--payload", payload, app};
        if (!agentScript.empty()) {
            makeInstallAgentZip(inputs + "/wrapped.zip", agentScript);
            arguments.insert(arguments.begin(), {"--agent", inputs + "/wrapped.zip"});
        }
        const ProcessResult bundled = tool(arguments);
        ASSERT_EQ(bundled.exitCode, 0) << bundled.err;
        const ProcessResult wrapped = tool({"--wrap", app, runFile});
        ASSERT_EQ(wrapped.exitCode, 0) << wrapped.err;
        EXPECT_NE(wrapped.out.find("Problems: none"), std::string::npos) << wrapped.out;
    }
};

} // namespace

TEST_F(RunFile, PassesEveryArgumentAndLeavesNothing)
{
    ASSERT_NO_FATAL_FAILURE(wrap(kRecordingAgentScript));
    const std::string userDir = scratch.makeDir("where the user is");
    // makeself's own options among them, which its stock header would take.
    const std::vector<std::string> arguments = {"--help", "-q", "a b", "", "$HOME \"quoted\" 'single' `date`",
                                                "two\nlines", "--", "--target", "/"};
    std::vector<std::string> argv = {"sh", runFile};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProcessResult ran = sandbox.run(argv, {}, userDir);
    EXPECT_TRUE(ran.exited && ran.exitCode == 0) << ran.describe() << "\n" << ran.err;
    EXPECT_EQ(ran.out, "");
    const AgentRecord record = sandbox.agentRecord();
    ASSERT_EQ(record.args.size(), arguments.size() + 2) << ran.err;
    EXPECT_EQ(record.args[0], "-installbundle");
    EXPECT_TRUE(record.args[1].starts_with(sandbox.tmp + "/")) << record.args[1];
    EXPECT_TRUE(record.args[1].ends_with("/Acme Setup.app/Contents/Resources/bundle.zip")) << record.args[1];
    EXPECT_EQ(std::vector<std::string>(record.args.begin() + 2, record.args.end()), arguments);
    EXPECT_EQ(record.pwd, std::filesystem::canonical(userDir).string());
    EXPECT_EQ(listDirectory(sandbox.tmp), std::vector<std::string>{});

    // Started by itself, and made again over the file it made.
    EXPECT_EQ(sandbox.run({runFile, "x"}).exitCode, 0);
    EXPECT_EQ(sandbox.agentRecord().args.back(), "x");
    EXPECT_EQ(tool({"--replace", "--wrap", app, runFile}).exitCode, 0);
    EXPECT_EQ(listDirectory(sandbox.tmp), std::vector<std::string>{});
}

// The sandbox's download URL refuses: the launcher fails, and so does the file.
TEST_F(RunFile, ExitsWithTheLaunchersStatus)
{
    ASSERT_NO_FATAL_FAILURE(wrap(""));
    const ProcessResult ran = sandbox.run({"sh", runFile, "x"});
    EXPECT_TRUE(ran.exited && ran.exitCode == 255) << ran.describe() << "\n" << ran.err;
    ASSERT_FALSE(ran.err.empty());
    EXPECT_EQ(splitLines(ran.err).back(), messages::kInstallationFailed);
    EXPECT_EQ(listDirectory(sandbox.tmp), std::vector<std::string>{});
}

TEST_F(RunFile, CheckReportsTheBundleInsideAndADamagedFile)
{
    ASSERT_NO_FATAL_FAILURE(wrap(kRecordingAgentScript));
    ProcessResult checked = tool({"--check", runFile});
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
    for (const std::string& line : {"Self-extracting file: " + runFile + " (makeself, SHA-256 checked; runs Acme "
                                    "Setup.app/Contents/MacOS/launcher with its own arguments)",
                                    std::string("Acme Setup.app inside Acme-Setup.run (application bundle)"),
                                    std::string("Install agent:        shipped, Contents/Resources/InstallAgent.zip"),
                                    std::string("Problems: none")})
        EXPECT_NE(checked.out.find(line + "\n"), std::string::npos) << "missing: " << line << "\n" << checked.out;
    EXPECT_FALSE(sandbox.agentRecord().ran) << "nothing in it runs";
    EXPECT_EQ(listDirectory(sandbox.tmp), std::vector<std::string>{});

    std::string bytes = readFile(runFile);
    bytes[bytes.size() - 100] ^= 0x01;
    writeFile(runFile, bytes, 0755);
    checked = tool({"--check", runFile});
    EXPECT_EQ(checked.exitCode, 1);
    EXPECT_NE(checked.out.find("Problem: " + runFile + " is damaged"), std::string::npos) << checked.out;
}

// Ctrl-C signals the whole foreground group: the file's shell, the launcher
// and the agent.
TEST_F(RunFile, InterruptedMidRunLeavesNothing)
{
    ASSERT_NO_FATAL_FAILURE(wrap("echo started > \"$AGENT_RECORD/started\"\nexec sleep 60\n"));
    BackgroundProcess running(sandbox.options({"sh", runFile}));
    ASSERT_TRUE(running.waitUntil([&] { return pathExists(sandbox.record + "/started"); }));
    const std::vector<std::string> unpacked = listDirectory(sandbox.tmp);
    EXPECT_TRUE(std::any_of(unpacked.begin(), unpacked.end(),
                            [&](const std::string& entry) { return isDirectory(sandbox.tmp + "/" + entry + "/Acme Setup.app"); }))
        << "the bundle is unpacked there while it runs";
    ASSERT_EQ(kill(-running.pid(), SIGINT), 0);
    const ProcessResult ended = running.wait();
    EXPECT_FALSE(ended.hung);
    EXPECT_FALSE(ended.exited && ended.exitCode == 0) << ended.describe();
    EXPECT_EQ(listDirectory(sandbox.tmp), std::vector<std::string>{});
}
