// The sandbox that the end-to-end tests run the launcher in: it has a say on
// every variable the launcher's code reads, and nothing the developer's own
// environment holds for those variables reaches a run.

#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>

using namespace testsupport;

namespace {

// The names in getenv("...") calls of the launcher's and the tools' sources.
std::set<std::string> variablesReadBySources()
{
    const std::filesystem::path root = std::filesystem::path(LAUNCHER_TESTS_DIR).parent_path();
    const std::regex call(R"(getenv\s*\(\s*"([^"]+)\")");
    std::set<std::string> names;
    for (const char* dir : {"launcher", "provisioning", "download", "platform", "ui", "tools"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root / dir)) {
            const std::string extension = entry.path().extension();
            if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h"))
                continue;
            const std::string text = readFile(entry.path());
            for (std::sregex_iterator match(text.begin(), text.end(), call), end; match != end; ++match)
                names.insert((*match)[1]);
        }
    }
    return names;
}

std::set<std::string> namesIn(const EnvChanges& changes)
{
    std::set<std::string> names;
    for (const auto& change : changes)
        names.insert(change.first);
    return names;
}

} // namespace

TEST(LauncherSandbox, ControlsEveryVariableTheLauncherReads)
{
    const std::set<std::string> read = variablesReadBySources();
    ASSERT_TRUE(read.contains(launcherenv::kAgentUrl)) << "the sources were not found";
    const std::set<std::string> controlled = namesIn(LauncherSandbox().environment());
    const std::vector<std::string> inherited = inheritedLauncherVariables();
    for (const std::string& name : read)
        EXPECT_TRUE(controlled.contains(name) || std::ranges::find(inherited, name) != inherited.end())
            << name << " is read by the launcher but neither set nor cleared by the sandbox";
}

TEST(LauncherSandbox, NothingOfTheOuterEnvironmentReachesARun)
{
    const LauncherSandbox sandbox;
    const EnvChanges controlled = sandbox.environment();
    std::vector<std::unique_ptr<ScopedEnv>> outer;
    for (const auto& change : controlled)
        outer.push_back(std::make_unique<ScopedEnv>(change.first, "from the developer's shell"));

    const ProcessResult shown = sandbox.run({"env", "-0"});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    for (const std::string& entry : splitNulTerminated(shown.out))
        EXPECT_EQ(entry.find("=from the developer's shell"), std::string::npos) << entry;
}
