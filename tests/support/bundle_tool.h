#pragma once

// launcher-bundle from the build tree, run as a vendor runs it, and the
// inputs the tests give it: a payload, an agent archive and an agent
// directory. The tool reads the launcher's variables too: it runs in the
// sandbox's environment, and the bundles it makes run in the sandbox.

#include "support/launcher_sandbox.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

class BundleToolTest : public ::testing::Test {
protected:
    LauncherSandbox sandbox;
    const ScratchDir& scratch = sandbox.scratch;
    std::string inputs = scratch.makeDir("inputs");
    std::string out = scratch.makeDir("out");
    std::string payload = inputs + "/payload.zip";

    // payload.zip, agent.zip and agent-dir/ (both with the recording agent).
    void SetUp() override;

    // The tool in the sandbox's environment without a download URL of its
    // own, so that --check tells the built-in one.
    ProcessResult tool(std::vector<std::string> arguments) const;
};

// Python's zipfile writes the entries (name, content) as its writestr does:
// permission bits but no file-type bits, and names as given, "/" or ".."
// included.
void makePythonZip(const std::string& zipPath, const std::vector<std::pair<std::string, std::string>>& entries);

} // namespace testsupport
