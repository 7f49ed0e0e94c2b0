#include "tools/bundle_make.h"

#include "tools/agent_archive.h"
#include "tools/bundle_check.h"
#include "tools/bundle_files.h"
#include "tools/desktop_entry.h"
#include "tools/kit_bundle.h"
#include "tools/kit_files.h"
#include "tools/public_key.h"
#include "tools/splash_picture.h"

#include "platform/file_manager.h"
#include "platform/paths.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/mkpath.h"

#include <sys/stat.h>

namespace {

// output is absolute; messages name it as given. Only a bundle made from a
// kit is ever replaced.
std::string checkOutput(const std::string& output, const std::string& given, bool replace)
{
    const std::string name = lastPathComponent(output);
    if (name.empty() || name == "." || name == "..")
        return given + " is not a name for a bundle";
    if (!isDirectory(parentDirectory(output)))
        return "the directory " + parentDirectory(output) + " for " + name + " does not exist";
    if (!pathExists(output))
        return {};
    if (!replace)
        return given + " exists (--replace replaces it)";
    if (const std::string why = whyNotAKitBundle(output); !why.empty())
        return given + " exists and is not a bundle made from a kit (it " + why + "); not replacing it";
    return {};
}

std::string checkInputs(const BundleRequest& request)
{
    if (!pathExists(request.payload))
        return "payload " + request.payload + " does not exist";
    if (!isRegularFile(request.payload))
        return "payload " + request.payload + " is not a regular file";
    if (!request.agent.empty()) {
        const std::string problem =
            isDirectory(request.agent) ? agentDirectoryProblem(request.agent) : agentArchiveProblem(request.agent);
        if (!problem.empty())
            return "install agent " + request.agent + " " + problem;
    }
    std::string whyNot;
    if (!request.splash.empty() && !inspectSplashPicture(request.splash, whyNot))
        return "splash picture " + request.splash + " " + whyNot;
    if (!request.publicKey.empty() && !inspectPublicKey(request.publicKey, whyNot))
        return "public key " + request.publicKey + " " + whyNot;
    if (!request.icon.empty() && !bundleIconResourceName(request.icon, whyNot))
        return "icon " + request.icon + " " + whyNot;
    return {};
}

std::string copyKitFiles(const KitFiles& kit, const BundleDirectories& layout)
{
    for (const std::string& dir : {layout.executableDir, layout.resourceDir})
        if (mkpath(dir, 0755) != 0)
            return "cannot make " + dir;
    if (std::string failure = copyFileTo(kit.launcher, layout.executableDir + "/" + launcherExecutableName, 0755);
        !failure.empty())
        return failure;
    if (kit.windowModule.empty())
        return {};
    return copyFileTo(kit.windowModule, layout.executableDir + "/" + windowModuleName, 0644);
}

// A directory is zipped, and what zip made is held to the same test as a given archive.
std::string shipAgent(const std::string& agent, const BundleDirectories& layout)
{
    const std::string zip = layout.resourceDir + "/" + installAgentZipName;
    if (!isDirectory(agent))
        return copyFileTo(agent, zip, 0644);
    if (const std::string problem = zipAgentDirectory(agent, zip); !problem.empty())
        return "install agent " + agent + " " + problem;
    if (const std::string problem = agentArchiveProblem(zip); !problem.empty())
        return "install agent zipped from " + agent + " " + problem;
    return {};
}

std::string copyResources(const BundleRequest& request, const BundleDirectories& layout)
{
    std::string failure = copyFileTo(request.payload, layout.resourceDir + "/" + installationPayloadName, 0644);
    if (failure.empty() && !request.agent.empty())
        failure = shipAgent(request.agent, layout);
    if (failure.empty() && !request.splash.empty())
        failure = copyFileTo(request.splash, layout.resourceDir + "/" + splashPictureName, 0644);
    if (failure.empty() && !request.publicKey.empty())
        failure = copyFileTo(request.publicKey, layout.resourceDir + "/" + installAgentPublicKeyName, 0644);
    if (failure.empty() && !request.icon.empty()) {
        std::string whyNot;
        const std::optional<std::string> name = bundleIconResourceName(request.icon, whyNot);
        failure = name ? copyFileTo(request.icon, layout.resourceDir + "/" + *name, 0644) : "icon " + request.icon + " " + whyNot;
    }
    return failure;
}

// Executable: file managers start only entries whose file may be run.
std::string writeDesktopEntry(const BundleRequest& request, const BundleDirectories& layout)
{
    const std::string title = applicationBundleTitle(lastPathComponent(request.output));
    const std::string icon = request.icon.empty() ? std::string() : desktopIconName(title);
    return writeNewFile(desktopEntryPath(layout), desktopEntryText(title, layout, icon), 0755);
}

// Fills the empty directory layout.root with the bundle.
std::string assemble(const BundleRequest& request, const KitFiles& kit, const BundleDirectories& layout)
{
    std::string failure = copyKitFiles(kit, layout);
    if (failure.empty())
        failure = copyResources(request, layout);
    if (failure.empty())
        failure = writeDesktopEntry(request, layout);
    if (failure.empty() && chmod(layout.root.c_str(), 0755) != 0)
        failure = "cannot set the mode of " + layout.root;
    return failure;
}

} // namespace

std::string makeBundle(const BundleRequest& given, std::ostream& out)
{
    // The bundle is made beside the output, so its directory must be known.
    BundleRequest request = given;
    request.output = absolutePath(given.output);

    std::string whyNot;
    const std::optional<KitFiles> kit = findKitFiles(whyNot);
    if (!kit)
        return whyNot;
    if (std::string problem = checkOutput(request.output, given.output, request.replace); !problem.empty())
        return problem;
    if (std::string problem = checkInputs(request); !problem.empty())
        return problem;

    const std::string staging = makeTemporaryDirectoryBeside(request.output, whyNot);
    if (staging.empty())
        return whyNot;
    const bool application = namesApplicationBundle(lastPathComponent(request.output));
    std::string failure = assemble(request, *kit, bundleDirectoriesAt(staging, application));
    if (failure.empty())
        failure = putInPlace(staging, request.output, request.replace);
    if (!failure.empty()) {
        removeItemAtPath(staging);
        return failure;
    }

    out << "Made " << request.output << "\n";
    if (!request.agent.empty() && isDirectory(request.agent))
        out << "(the install agent zipped from " << request.agent << ")\n";
    printBundleReport(inspectBundle(request.output), out);
    return {};
}
