#include "tools/bundle_check.h"

#include "tools/agent_archive.h"
#include "tools/bundle_files.h"
#include "tools/launcher_identity.h"
#include "tools/public_key.h"
#include "tools/splash_picture.h"
#include "platform/http_response_head.h"
#include "provisioning/public_key_file.h"
#include "ui/progress_text.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/cache_paths.h"
#include "provisioning/constants.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <optional>
#include <unistd.h>

namespace {

// The launcher in a directory: launcherExecutableName, or else the one
// executable file there that is not a module. Empty when there is none, or several.
std::string findLauncher(const std::string& dir)
{
    const std::string standard = dir + "/" + launcherExecutableName;
    if (isRegularFile(standard))
        return standard;
    std::vector<std::string> found;
    if (DIR* listing = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            const std::string path = dir + "/" + name;
            if (name.size() > 3 && name.ends_with(".so"))
                continue;
            if (isRegularFile(path) && access(path.c_str(), X_OK) == 0)
                found.push_back(path);
        }
        closedir(listing);
    }
    return found.size() == 1 ? found.front() : std::string();
}

std::string joinNames(const std::vector<std::string>& names)
{
    std::string joined;
    for (const std::string& name : names)
        joined += (joined.empty() ? "" : ", ") + name;
    return joined;
}

std::string relativeTo(const std::string& root, const std::string& path)
{
    return path.starts_with(root + "/") ? path.substr(root.size() + 1) : path;
}

// Which install agent a run takes; adds the facts and problems about it.
// True when the agent is shipped.
bool inspectAgent(const BundleDirectories& layout, BundleReport& report)
{
    const std::string shipped = layout.resourceDir + "/" + installAgentZipName;
    // In the order the directory lists them, which is the order a run meets them in.
    const std::vector<std::string> alternatives = findAlternativeInstallAgents(layout.resourceDir);
    std::string chosen;
    if (pathExists(shipped)) {
        chosen = shipped;
        if (!alternatives.empty())
            report.notes.push_back(joinNames(alternatives) + " never used: " + installAgentZipName + " comes first");
    } else if (!alternatives.empty()) {
        chosen = layout.resourceDir + "/" + alternatives.front();
        if (alternatives.size() > 1)
            report.problems.push_back(std::to_string(alternatives.size()) + " install agents " + joinNames(alternatives)
                                      + " and no " + installAgentZipName
                                      + ": which one runs depends on the directory's order (now "
                                      + alternatives.front() + ")");
    }
    if (chosen.empty())
        return false;
    report.facts.emplace_back("Install agent", "shipped, " + relativeTo(layout.root, chosen));
    if (const std::string problem = agentArchiveProblem(chosen); !problem.empty())
        report.problems.push_back("the install agent " + relativeTo(layout.root, chosen) + " " + problem);
    return true;
}

// The launcher, and the identity its build compiled in (this tool's own
// when it holds none).
LauncherIdentity inspectLauncher(const BundleDirectories& layout, BundleReport& report)
{
    const std::string launcher = findLauncher(layout.executableDir);
    LauncherIdentity identity = ownLauncherIdentity();
    if (launcher.empty()) {
        report.problems.push_back("no launcher in " + relativeTo(layout.root, layout.executableDir + "/"));
        return identity;
    }
    std::string text = relativeTo(layout.root, launcher);
    if (access(launcher.c_str(), X_OK) != 0)
        report.problems.push_back(text + " is not executable");
    const std::optional<LauncherIdentity> read = readLauncherIdentity(launcher);
    if (read)
        identity = *read;
    text += ", release " + identity.release + ", platform " + identity.platform;
    if (!read)
        text += " (assumed: no build identity found in it)";
    report.facts.emplace_back("Launcher", text);
    const bool window = isRegularFile(layout.executableDir + "/" + windowModuleName);
    report.facts.emplace_back("Window module", window ? "present" : "absent: downloads show in the terminal");
    return identity;
}

void inspectPayload(const BundleDirectories& layout, BundleReport& report)
{
    const std::string payload = layout.resourceDir + "/" + installationPayloadName;
    struct stat payloadInfo {};
    if (stat(payload.c_str(), &payloadInfo) == 0 && S_ISREG(payloadInfo.st_mode))
        report.facts.emplace_back("Payload", relativeTo(layout.root, payload) + ", "
                                                 + std::to_string(payloadInfo.st_size) + " bytes");
    else
        report.problems.push_back("no installation payload " + relativeTo(layout.root, payload));
}

// The variable that sends a run's download elsewhere (a testing aid), or null.
const char* downloadUrlOverride()
{
    return std::getenv("ZX_INTERNAL_INSTALL_AGENT_URL");
}

// Where a bundle without a shipped agent downloads it from, and the cache it uses.
void inspectCache(const LauncherIdentity& identity, bool shipped, BundleReport& report)
{
    const std::string cacheDir = cacheDirectoryFor(identity);
    if (shipped) {
        report.facts.emplace_back("Cache", cacheDir + " (not used: the agent is shipped)");
        return;
    }
    const char* override = downloadUrlOverride();
    report.facts.emplace_back("Install agent", override != nullptr
                                                   ? std::string("downloaded from ") + override
                                                       + " (ZX_INTERNAL_INSTALL_AGENT_URL; built in: "
                                                       + identity.downloadUrl + ")"
                                                   : "downloaded from " + identity.downloadUrl);
    const bool cached = pathExists(getInstallAgentExecutable(cacheDir + installAgentDirName));
    report.facts.emplace_back("Cache", cacheDir + (cached ? " (holds an agent)" : " (holds no agent yet)"));
    if (identity.maxAgentBytes)
        report.facts.emplace_back("Largest agent", std::to_string(*identity.maxAgentBytes) + " bytes ("
                                                       + byteCount(static_cast<double>(*identity.maxAgentBytes))
                                                       + "): a larger download is refused");
}

// Whether the bundle asks for signed downloads, and with which keys; adds
// the facts and problems about it. A key file there in any form asks for
// them, as the launcher reads it.
bool inspectSigning(const BundleDirectories& layout, bool shipped, BundleReport& report)
{
    const std::string key = layout.resourceDir + "/" + installAgentPublicKeyName;
    if (!publicKeyFileStandsAt(key)) {
        report.facts.emplace_back("Signed downloads",
                                  std::string("not required (no ") + installAgentPublicKeyName + ")");
        return false;
    }
    std::string whyNot;
    if (const auto summary = inspectPublicKey(key, whyNot)) {
        const char* ids = summary->keyIds.size() == 1 ? ", key id " : ", key ids ";
        report.facts.emplace_back("Signed downloads",
                                  "required (" + relativeTo(layout.root, key) + ids + joinNames(summary->keyIds) + ")");
    } else {
        report.facts.emplace_back("Signed downloads", "required, but the key is unusable");
        report.problems.push_back(relativeTo(layout.root, key) + " " + whyNot);
    }
    if (shipped)
        report.notes.push_back(std::string(installAgentPublicKeyName)
                               + " only matters for downloads; this bundle ships its agent");
    return true;
}

// An agent that comes over plain http and is checked by no signature is
// whatever anyone on the way makes of it.
void warnOfAnUncheckedDownload(const LauncherIdentity& identity, bool signedDownloads, BundleReport& report)
{
    const char* override = downloadUrlOverride();
    if (signedDownloads || schemeOf(override != nullptr ? override : identity.downloadUrl) != "http")
        return;
    report.warnings.push_back(std::string("the agent is downloaded over plain http:// and no ")
                              + installAgentPublicKeyName
                              + " checks it: anyone on the network path can replace it (ship a key with"
                                " --public-key, or download over https://)");
}

void inspectSplash(const BundleDirectories& layout, BundleReport& report)
{
    const std::string splash = layout.resourceDir + "/" + splashPictureName;
    if (!pathExists(splash)) {
        report.facts.emplace_back("Splash", "none");
        return;
    }
    std::string whyNot;
    if (const auto picture = inspectSplashPicture(splash, whyNot))
        report.facts.emplace_back("Splash", describeSplashPicture(*picture));
    else
        report.problems.push_back(relativeTo(layout.root, splash) + " " + whyNot);
}

// The desktop entry, and the icon it names.
void inspectDesktopEntry(const BundleDirectories& layout, BundleReport& report)
{
    const std::string entry = desktopEntryPath(layout);
    if (!isRegularFile(entry)) {
        report.facts.emplace_back("Desktop entry", "none");
        return;
    }
    std::string text = relativeTo(layout.root, entry);
    if (access(entry.c_str(), X_OK) != 0)
        report.problems.push_back(text + " is not executable: file managers will not start it");
    std::string icon;
    for (const char* name : {bundleIconPngName, bundleIconSvgName})
        if (isRegularFile(layout.resourceDir + "/" + name))
            icon = relativeTo(layout.root, layout.resourceDir + "/" + name);
    report.facts.emplace_back("Desktop entry", text + (icon.empty() ? ", no icon" : ", icon " + icon));
}

} // namespace

BundleReport inspectBundle(const std::string& root, const std::string& shownRoot)
{
    BundleReport report;
    const BundleDirectories layout = existingBundleDirectories(root);
    report.facts.emplace_back("Bundle", (shownRoot.empty() ? root : shownRoot)
                                            + (layout.application ? " (application bundle)" : " (flat layout)"));
    const LauncherIdentity identity = inspectLauncher(layout, report);
    inspectPayload(layout, report);
    const bool shipped = inspectAgent(layout, report);
    inspectCache(identity, shipped, report);
    const bool signedDownloads = inspectSigning(layout, shipped, report);
    if (!shipped)
        warnOfAnUncheckedDownload(identity, signedDownloads, report);
    inspectSplash(layout, report);
    inspectDesktopEntry(layout, report);
    return report;
}

void printBundleReport(const BundleReport& report, std::ostream& out)
{
    std::size_t width = 0;
    for (const auto& fact : report.facts)
        width = std::max(width, fact.first.size());
    for (const auto& [label, text] : report.facts)
        out << label << ":" << std::string(width - label.size() + 1, ' ') << text << "\n";
    for (const std::string& note : report.notes)
        out << "Note: " << note << "\n";
    for (const std::string& warning : report.warnings)
        out << "Warning: " << warning << "\n";
    if (report.problems.empty())
        out << "Problems: none\n";
    for (const std::string& problem : report.problems)
        out << "Problem: " << problem << "\n";
}
