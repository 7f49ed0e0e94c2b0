#include "support/launcher_sandbox.h"

#include <optional>
#include <utility>

namespace testsupport {

EnvChanges launcherEnvironmentDefaults()
{
    const std::optional<std::string> unset;
    EnvChanges env{
        {launcherenv::kAgentUrl, kUnreachableAgentUrl},
        {launcherenv::kFrontEnd, "plain"},
        {launcherenv::kDownloadTimeout, unset},
        // A failure is final unless a test asks for retries: their backoff is
        // seconds of waiting that only the retry tests are about.
        {launcherenv::kDownloadRetries, "0"},
        {launcherenv::kCaBundle, unset},
        {launcherenv::kUnpackBesideBundle, unset},
        {"DISPLAY", unset},
        // The window's scale, and the terminal's conventions.
        {"GDK_SCALE", unset},
        {"QT_SCALE_FACTOR", unset},
        {"NO_COLOR", unset},
        {"TERM", unset},
        // unzip takes default options from these.
        {"UNZIP", unset},
        {"UNZIPOPT", unset},
        // The recording agent's inputs.
        {"AGENT_EXIT", unset},
        {"AGENT_TAG", unset},
    };
    for (const char* proxy : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        env.emplace_back(proxy, unset);
    env.emplace_back("no_proxy", "127.0.0.1,localhost");
    env.emplace_back("NO_PROXY", "127.0.0.1,localhost");
    return env;
}

std::vector<std::string> inheritedLauncherVariables()
{
    return {"PATH"};
}

LauncherSandbox::LauncherSandbox(const std::string& tmpDirName)
    : home(scratch.makeDir("home")),
      tmp(scratch.makeDir(tmpDirName)),
      record(scratch.makeDir("record")),
      cacheDir(joinPath(home, kCacheSubpath))
{
}

EnvChanges LauncherSandbox::environment(const EnvChanges& changes) const
{
    EnvChanges env = launcherEnvironmentDefaults();
    env.emplace_back("HOME", home);
    env.emplace_back("TMPDIR", tmp);
    env.emplace_back("AGENT_RECORD", record);
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

ProcessOptions LauncherSandbox::options(std::vector<std::string> argv, const EnvChanges& changes,
                                        const std::string& workingDirectory) const
{
    return ProcessOptions(std::move(argv), environment(changes), workingDirectory);
}

ProcessResult LauncherSandbox::run(std::vector<std::string> argv, const EnvChanges& changes,
                                   const std::string& workingDirectory) const
{
    return runProcess(options(std::move(argv), changes, workingDirectory));
}

BundleLayout LauncherSandbox::flatBundle(const std::string& name, const std::string& parent) const
{
    BundleLayout layout = makeFlatBundle(parent.empty() ? scratch.path() : parent, name);
    writeBundlePayload(layout.resources);
    return layout;
}

BundleLayout LauncherSandbox::appBundle(const std::string& name, const std::string& parent) const
{
    BundleLayout layout = makeAppBundle(parent.empty() ? scratch.path() : parent, name);
    writeBundlePayload(layout.resources);
    return layout;
}

AgentRecord LauncherSandbox::agentRecord() const
{
    return readAgentRecord(record);
}

int LauncherSandbox::agentStarts() const
{
    const std::string starts = joinPath(record, "starts");
    return pathExists(starts) ? static_cast<int>(splitLines(readFile(starts)).size()) : 0;
}

EnvChanges downloadingFrom(const std::string& url, const EnvChanges& changes)
{
    EnvChanges env{{launcherenv::kAgentUrl, url}};
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

std::string countingAgentScript(const std::string& tag)
{
    return "AGENT_TAG='" + tag + "'\necho started >> \"$AGENT_RECORD/starts\"\n" + kRecordingAgentScript;
}

} // namespace testsupport
