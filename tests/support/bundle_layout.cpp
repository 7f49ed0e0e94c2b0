#include "support/bundle_layout.h"

#include "support/scratch.h"

#include <stdexcept>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifndef LAUNCHER_BINARY
#error "LAUNCHER_BINARY must name the built launcher"
#endif

namespace testsupport {

const char* const kRecordingAgentScript = R"AGENT(# Install agent for the tests: records what it was given.
record=${AGENT_RECORD:?AGENT_RECORD names the record directory}
printf '%s' "$(pwd -P)" > "$record/pwd"
printf '%s' "$0" > "$record/self"
if [ -n "${AGENT_TAG+set}" ]; then printf '%s' "$AGENT_TAG" > "$record/tag"; fi
# Written last, and all at once: its presence means the agent ran.
if [ $# -gt 0 ]; then printf '%s\0' "$@"; fi > "$record/args.part"
mv "$record/args.part" "$record/args"
exit "${AGENT_EXIT:-0}"
)AGENT";

std::string launcherBinary()
{
    return LAUNCHER_BINARY;
}

std::string windowModuleBinary()
{
    return LAUNCHER_WINDOW_MODULE;
}

void addWindowModule(const BundleLayout& layout)
{
    copyFile(windowModuleBinary(), joinPath(parentOf(layout.executable), baseName(windowModuleBinary())), 0644);
}

void copyFile(const std::string& from, const std::string& to, mode_t mode)
{
    writeFile(to, readFile(from), mode);
}

BundleLayout makeAppBundle(const std::string& parent, const std::string& appName, const std::string& executableName)
{
    BundleLayout layout;
    layout.parent = parent;
    layout.bundleDir = joinPath(parent, appName);
    const std::string macos = joinPath(layout.bundleDir, "Contents/MacOS");
    layout.resources = joinPath(layout.bundleDir, "Contents/Resources");
    makeDirectories(macos);
    makeDirectories(layout.resources);
    layout.executable = joinPath(macos, executableName);
    copyFile(launcherBinary(), layout.executable, 0755);
    return layout;
}

BundleLayout makeFlatBundle(const std::string& parent, const std::string& dirName, const std::string& executableName)
{
    BundleLayout layout;
    layout.parent = parent;
    layout.bundleDir = joinPath(parent, dirName);
    layout.resources = layout.bundleDir;
    makeDirectories(layout.bundleDir);
    layout.executable = joinPath(layout.bundleDir, executableName);
    copyFile(launcherBinary(), layout.executable, 0755);
    return layout;
}

void makeZip(const std::string& zipPath, const ArchiveFiles& files, const std::vector<std::string>& readOnlyDirectories)
{
    ScratchDir staging;
    for (const auto& [name, content] : files) {
        const std::string path = staging / name;
        makeDirectories(parentOf(path));
        writeFile(path, content, 0644);
    }
    for (const std::string& directory : readOnlyDirectories)
        if (chmod((staging / directory).c_str(), 0555) != 0)
            throw std::runtime_error("cannot make " + directory + " read-only in the archive");
    removeTree(zipPath);
    // zip runs in the staging directory: hand it an absolute archive path.
    std::string target = zipPath;
    if (target.empty() || target.front() != '/') {
        char* cwd = getcwd(nullptr, 0);
        target = joinPath(cwd != nullptr ? cwd : ".", zipPath);
        free(cwd);
    }
    const ProcessResult zipped = run({"zip", "-q", "-r", "-X", target, "."}, {}, staging.path());
    for (const std::string& directory : readOnlyDirectories)
        chmod((staging / directory).c_str(), 0755); // the staging directory goes, also for an ordinary user
    if (!zipped.exited || zipped.exitCode != 0)
        throw std::runtime_error("zip " + target + " failed (" + zipped.describe() + "): " + zipped.err);
}

void makeInstallAgentZip(const std::string& zipPath, const std::string& installScript, const ArchiveFiles& extraFiles,
                         const std::vector<std::string>& readOnlyDirectories)
{
    ArchiveFiles files{{"install", installScript}};
    files.insert(files.end(), extraFiles.begin(), extraFiles.end());
    makeZip(zipPath, files, readOnlyDirectories);
}

std::string writeBundlePayload(const std::string& resources, const ArchiveFiles& files)
{
    const std::string path = joinPath(resources, "bundle.zip");
    makeZip(path, files.empty() ? ArchiveFiles{{"payload.txt", "the product\n"}} : files);
    return path;
}

std::vector<std::string> splitNulTerminated(const std::string& data)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start < data.size()) {
        const auto nul = data.find('\0', start);
        if (nul == std::string::npos) {
            parts.push_back(data.substr(start)); // unterminated tail: keep it, so a test sees it
            break;
        }
        parts.push_back(data.substr(start, nul - start));
        start = nul + 1;
    }
    return parts;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto newline = text.find('\n', start);
        if (newline == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

AgentRecord readAgentRecord(const std::string& recordDir)
{
    AgentRecord record;
    const std::string args = joinPath(recordDir, "args");
    if (!pathExists(args))
        return record;
    record.ran = true;
    record.args = splitNulTerminated(readFile(args));
    record.pwd = readFile(joinPath(recordDir, "pwd"));
    record.self = readFile(joinPath(recordDir, "self"));
    if (pathExists(joinPath(recordDir, "tag")))
        record.tag = readFile(joinPath(recordDir, "tag"));
    return record;
}

} // namespace testsupport
