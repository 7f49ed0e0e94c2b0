#pragma once

// Installer bundles for end-to-end runs: a copy of the built launcher
// (LAUNCHER_BINARY) in an application-bundle or a flat layout, install-agent
// archives made with the real `zip`, and a standard agent script that records
// what it was given.

#include "support/process.h"

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// The launcher built with the tests.
std::string launcherBinary();
// Its window module as built.
std::string windowModuleBinary();

struct BundleLayout {
    std::string bundleDir;  // Name.app, or the flat directory
    std::string executable; // the copied launcher
    std::string resources;  // Name.app/Contents/Resources, or the flat directory itself
    std::string parent;     // the directory that holds bundleDir
    std::string payload() const { return resources + "/bundle.zip"; }
};

// <parent>/<appName>/Contents/MacOS/<executableName> (a copy of the launcher)
// and an empty <parent>/<appName>/Contents/Resources. Missing parents are made.
BundleLayout makeAppBundle(const std::string& parent, const std::string& appName = "Installer.app",
                           const std::string& executableName = "launcher");

// <parent>/<dirName>/<executableName>: the launcher beside its resources.
BundleLayout makeFlatBundle(const std::string& parent, const std::string& dirName = "installer",
                            const std::string& executableName = "launcher");

// Puts a copy of the built window module beside the bundle's launcher, the
// one place the launcher loads it from: for the runs that want the window.
void addWindowModule(const BundleLayout& layout);

// Copies a file's bytes and gives the copy the mode.
void copyFile(const std::string& from, const std::string& to, mode_t mode);

// (relative path inside the archive, content)
using ArchiveFiles = std::vector<std::pair<std::string, std::string>>;

// Writes the files into a staging directory and runs `zip -q -r <zip> .` there
// (no shell), so the archive holds exactly those names. The directories
// named in readOnlyDirectories (relative, each holding a file) go in with
// mode 0555, as unzip then makes them. Replaces zipPath.
void makeZip(const std::string& zipPath, const ArchiveFiles& files,
             const std::vector<std::string>& readOnlyDirectories = {});

// An install-agent archive: "install" (the script text) at its top level,
// plus the extra files (and read-only directories, as makeZip takes them).
void makeInstallAgentZip(const std::string& zipPath, const std::string& installScript,
                         const ArchiveFiles& extraFiles = {},
                         const std::vector<std::string>& readOnlyDirectories = {});

// <resources>/bundle.zip with a small text file (or the given files); returns its path.
std::string writeBundlePayload(const std::string& resources, const ArchiveFiles& files = {});

// The recording agent. Into the directory named by $AGENT_RECORD it writes:
//   args - its arguments, each followed by a NUL byte
//   pwd  - its working directory (pwd -P)
//   self - its own path ($0)
//   tag  - $AGENT_TAG, when set (an archive's script can set it in a first
//          line, to tell apart agents from different archives)
// then exits with status $AGENT_EXIT (0 when unset).
extern const char* const kRecordingAgentScript;

struct AgentRecord {
    bool ran = false; // the record directory holds an "args" file
    std::vector<std::string> args;
    std::string pwd;
    std::string self;
    std::string tag;
};

// Reads what the recording agent wrote into recordDir.
AgentRecord readAgentRecord(const std::string& recordDir);

// Splits at NUL bytes; each element ends with one.
std::vector<std::string> splitNulTerminated(const std::string& data);

// Splits at "\n"; a final newline ends the last line and adds no empty one.
std::vector<std::string> splitLines(const std::string& text);

} // namespace testsupport
