#include "support/bundle_tool.h"

#include "support/bundle_layout.h"
#include "support/scratch.h"

namespace testsupport {

void BundleToolTest::SetUp()
{
    makeZip(payload, {{"README.txt", "the product\n"}});
    makeInstallAgentZip(inputs + "/agent.zip", kRecordingAgentScript);
    makeDirectories(inputs + "/agent-dir");
    writeFile(inputs + "/agent-dir/install", kRecordingAgentScript);
}

ProcessResult BundleToolTest::tool(std::vector<std::string> arguments) const
{
    arguments.insert(arguments.begin(), LAUNCHER_BUNDLE_TOOL);
    return run(arguments, sandbox.environment({{launcherenv::kAgentUrl, std::nullopt}}), scratch.path());
}

void makePythonZip(const std::string& zipPath, const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::vector<std::string> argv = {"python3", "-c",
                                     "import sys, zipfile\n"
                                     "with zipfile.ZipFile(sys.argv[1], 'w') as archive:\n"
                                     "    for name, content in zip(sys.argv[2::2], sys.argv[3::2]):\n"
                                     "        archive.writestr(name, content)\n",
                                     zipPath};
    for (const auto& [name, content] : entries) {
        argv.push_back(name);
        argv.push_back(content);
    }
    const ProcessResult made = run(argv);
    ASSERT_EQ(made.exitCode, 0) << made.err;
}

} // namespace testsupport
