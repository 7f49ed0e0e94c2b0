// Unpacking an install-agent archive with the real unzip (or a stand-in that
// records how it was run), and how a failure is reported.

#include "provisioning/unzip_install_agent.h"
#include "support/bundle_layout.h"
#include "support/launcher_messages.h"
#include "support/process.h"
#include "support/recorded_reports.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testsupport;

namespace {

// What the code under test reported.
std::vector<std::string>& reports = recordedReports();

class UnzipInstallAgent : public ::testing::Test {
protected:
    void SetUp() override { reports.clear(); }

    ScratchDir scratch;
};

// A stand-in for unzip that writes its arguments (NUL-terminated) to a file
// and exits with the given status.
std::string makeFakeUnzip(const std::string& path, const std::string& record, int status)
{
    writeFile(path,
              "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" + record + "'\nexit " + std::to_string(status) + "\n",
              0755);
    return path;
}

} // namespace

TEST_F(UnzipInstallAgent, UnzipUnpacksWithTheRealUnzipAndOverwrites)
{
    const std::string zip = scratch.makeDir("archive dir $HOME \"q\"") + "/agent 'x'.zip";
    makeInstallAgentZip(zip, "echo new\n", {{"lib/helper.sh", "helper\n"}});
    const std::string destination = scratch.makeDir("dest `d` $PATH");
    writeFile(destination + "/install", "echo old\n");

    EXPECT_TRUE(unzipInstallAgent(zip, destination, "unzip", recordReport));
    EXPECT_EQ(readFile(destination + "/install"), "echo new\n") << "existing files are overwritten";
    EXPECT_EQ(readFile(destination + "/lib/helper.sh"), "helper\n");
    EXPECT_TRUE(reports.empty());
}

TEST_F(UnzipInstallAgent, UnzipRunsTheProgramWithItsSixWords)
{
    const std::string record = scratch / "record";
    const std::string program = makeFakeUnzip(scratch.makeDir("tools dir") + "/my unzip", record, 0);
    const std::string zip = scratch / "a $b.zip";
    writeFile(zip, "whatever");
    const std::string destination = scratch / "dest \"x\"";

    EXPECT_TRUE(unzipInstallAgent(zip, destination, program, recordReport));
    EXPECT_EQ(splitNulTerminated(readFile(record)), (std::vector<std::string>{"-qq", "-o", zip, "-d", destination}));
    EXPECT_TRUE(reports.empty());
}

TEST_F(UnzipInstallAgent, UnzipOfAMissingArchiveIsSilentAndRunsNothing)
{
    const std::string record = scratch / "record";
    const std::string program = makeFakeUnzip(scratch / "fake-unzip", record, 0);
    EXPECT_FALSE(unzipInstallAgent(scratch / "missing.zip", scratch.path(), program, recordReport));
    EXPECT_FALSE(pathExists(record)) << "unzip must not run";
    EXPECT_TRUE(reports.empty());
}

TEST_F(UnzipInstallAgent, UnzipFailureIsReportedOnce)
{
    const std::string destination = scratch.makeDir("dest");
    const std::string failed = "error: " + messages::kUnzipAgentFailed;

    // A directory passes the existence test; unzip then fails on it.
    const std::string directory = scratch.makeDir("agent.zip");
    EXPECT_FALSE(unzipInstallAgent(directory, destination, "unzip", recordReport));
    EXPECT_EQ(reports, std::vector<std::string>{failed});

    reports.clear();
    writeFile(scratch / "broken.zip", "this is not a zip archive");
    EXPECT_FALSE(unzipInstallAgent(scratch / "broken.zip", destination, "unzip", recordReport));
    EXPECT_EQ(reports, std::vector<std::string>{failed});

    reports.clear();
    const std::string program = makeFakeUnzip(scratch / "fake-unzip", scratch / "record", 1);
    writeFile(scratch / "ok.zip", "x");
    EXPECT_FALSE(unzipInstallAgent(scratch / "ok.zip", destination, program, recordReport));
    EXPECT_EQ(reports, std::vector<std::string>{failed}) << "any non-zero status counts";
}

TEST_F(UnzipInstallAgent, WhatAFailedUnzipSaidGoesToTheLogItsLastTenLinesOnly)
{
    // Twelve lines on both streams, blank lines and blanks around them; exit 9.
    const std::string program = scratch / "talking-unzip";
    writeFile(program,
              "#!/bin/sh\nfor i in 1 2 3 4 5 6; do echo \"  out $i \"; echo; echo \"err $i\" >&2; done\nexit 9\n",
              0755);
    writeFile(scratch / "agent.zip", "x");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(unzipInstallAgent(scratch / "agent.zip", scratch.makeDir("dest"), program, recordReport));
    const std::vector<std::string> logged = splitLines(testing::internal::GetCapturedStderr());
    std::vector<std::string> expected;
    for (int i = 2; i <= 6; ++i) {
        expected.push_back("unzip: out " + std::to_string(i));
        expected.push_back("unzip: err " + std::to_string(i));
    }
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(reports, std::vector<std::string>{"error: " + messages::kUnzipAgentFailed});
}

TEST_F(UnzipInstallAgent, UnzipMissingFromPathIsReported)
{
    const std::string zip = scratch / "agent.zip";
    makeInstallAgentZip(zip, "echo hi\n");
    const std::string destination = scratch.makeDir("dest");
    ScopedEnv path("PATH", scratch.makeDir("empty-bin"));

    EXPECT_FALSE(unzipInstallAgent(zip, destination, "unzip", recordReport));
    EXPECT_EQ(reports, std::vector<std::string>{"error: " + messages::kUnzipAgentFailed});
    EXPECT_EQ(listDirectory(destination), std::vector<std::string>{});
}
