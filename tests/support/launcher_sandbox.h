#pragma once

// One sandbox for runs of the built launcher: a private HOME, TMPDIR and
// agent record directory, and an environment that sets or clears every
// variable the launcher (and the unzip and curl it uses) reads, so that no
// test inherits what the developer's shell holds. A run that wants retries,
// a time limit, a window or a CA bundle says so in its own changes, which
// are applied after the sandbox's.
//
//     LauncherSandbox sandbox;
//     const BundleLayout bundle = sandbox.flatBundle();
//     const ProcessResult result = sandbox.run({bundle.executable, "x"}, downloadingFrom(url));
//     EXPECT_TRUE(sandbox.agentRecord().ran);

#include "support/bundle_layout.h"
#include "support/launcher_variables.h"
#include "support/process.h"
#include "support/scratch.h"

#include <string>
#include <vector>

namespace testsupport {

// The launcher's per-user cache below HOME, for this release and platform.
inline const std::string kCacheSubpath = ".kelvor/installagent/Q3071x/ostx86/";

// Where a launcher run that nothing points elsewhere would download from: a
// port on this machine that refuses, so a run can never reach the network.
inline constexpr const char* kUnreachableAgentUrl = "http://127.0.0.1:9/InstallAgent.zip";

// The sandbox's own settings for every variable a launcher run reads, before
// the sandbox's directories: the ZX_* variables (plain front end, the
// unreachable URL, no retries, the rest unset), no DISPLAY, no window scale,
// no NO_COLOR or TERM, no proxies (and
// no_proxy for the loopback), no default options for unzip, and the
// recording agent's inputs unset.
EnvChanges launcherEnvironmentDefaults();

// Variables the launcher reads that a run inherits on purpose: PATH finds
// sh and unzip (a test may put shims in front).
std::vector<std::string> inheritedLauncherVariables();

class LauncherSandbox {
public:
    // Makes <root>/home, <root>/<tmpDirName> and <root>/record in a fresh
    // scratch directory. The name of the temporary directory is the test's
    // choice (one with blanks or "$" shows that nothing re-reads the path).
    explicit LauncherSandbox(const std::string& tmpDirName = "tmp");

    ScratchDir scratch;
    const std::string home;   // HOME of the runs
    const std::string tmp;    // TMPDIR of the runs
    const std::string record; // AGENT_RECORD: what the recording agent writes
    // The per-user cache of the launcher under home, ending in "/".
    const std::string cacheDir;

    // launcherEnvironmentDefaults(), then HOME, TMPDIR and AGENT_RECORD, then
    // the changes (a later entry wins).
    EnvChanges environment(const EnvChanges& changes = {}) const;

    // argv (argv[0] is usually a bundle's executable) in environment(changes),
    // started in workingDirectory (empty: the test's own).
    ProcessOptions options(std::vector<std::string> argv, const EnvChanges& changes = {},
                           const std::string& workingDirectory = {}) const;
    // Runs options(...) to its end.
    ProcessResult run(std::vector<std::string> argv, const EnvChanges& changes = {},
                      const std::string& workingDirectory = {}) const;

    // A flat bundle <parent>/<name> (the launcher beside bundle.zip), or an
    // application bundle <parent>/<name> with bundle.zip in its resources.
    // An empty parent is the sandbox's root.
    BundleLayout flatBundle(const std::string& name = "installer", const std::string& parent = {}) const;
    BundleLayout appBundle(const std::string& name = "Installer.app", const std::string& parent = {}) const;

    // What the recording agent wrote into record.
    AgentRecord agentRecord() const;
    // How many agents added a line to record/starts (see countingAgentScript).
    int agentStarts() const;
};

// Changes for a run that downloads its agent from url: the URL, then the
// further changes.
EnvChanges downloadingFrom(const std::string& url, const EnvChanges& changes = {});

// The recording agent, with AGENT_TAG set to the tag, that first adds a line
// to $AGENT_RECORD/starts: how often agents started, even when each run
// overwrites the record.
std::string countingAgentScript(const std::string& tag);

} // namespace testsupport
