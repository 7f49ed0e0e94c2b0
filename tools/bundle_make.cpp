#include "tools/bundle_make.h"

#include "tools/agent_archive.h"
#include "tools/bundle_check.h"
#include "tools/bundle_files.h"
#include "tools/kit_files.h"
#include "tools/public_key.h"
#include "tools/splash_picture.h"

#include "platform/file_manager.h"
#include "platform/paths.h"
#include "provisioning/bundle_contents.h"
#include "provisioning/mkpath.h"

#include <dirent.h>
#include <sys/stat.h>

namespace {

bool isEmptyDirectory(const std::string& path)
{
    DIR* listing = opendir(path.c_str());
    if (listing == nullptr)
        return false;
    bool empty = true;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    closedir(listing);
    return empty;
}

// What --replace may remove: an empty directory, or one with a launcher
// where a bundle keeps it. Anything else is left alone.
bool mayReplace(const std::string& path)
{
    if (!isDirectory(path))
        return false;
    const BundleDirectories layout = existingBundleDirectories(path);
    return isEmptyDirectory(path) || isRegularFile(layout.executableDir + "/" + launcherExecutableName);
}

// output is absolute; messages name it as given.
std::string checkOutput(const std::string& output, const std::string& given, bool replace)
{
    const std::string name = lastPathComponent(output);
    if (name.empty() || name == "." || name == "..")
        return given + " is not a name for a bundle";
    if (!isDirectory(parentDirectory(output)))
        return "the directory " + parentDirectory(output) + " for " + name + " does not exist";
    if (pathExists(output)) {
        if (!replace)
            return given + " exists (--replace replaces it)";
        if (!mayReplace(output))
            return given + " exists and is not a bundle; not replacing it";
    }
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
    return {};
}

// Fills the empty directory layout.root with the bundle.
std::string assemble(const BundleRequest& request, const KitFiles& kit, const BundleDirectories& layout)
{
    std::string failure;
    for (const std::string& dir : {layout.executableDir, layout.resourceDir})
        if (mkpath(dir, 0755) != 0)
            return "cannot make " + dir;
    if (failure = copyFileTo(kit.launcher, layout.executableDir + "/" + launcherExecutableName, 0755); !failure.empty())
        return failure;
    if (!kit.windowModule.empty()
        && !(failure = copyFileTo(kit.windowModule, layout.executableDir + "/" + windowModuleName, 0644))
                .empty())
        return failure;
    if (failure = copyFileTo(request.payload, layout.resourceDir + "/" + installationPayloadName, 0644); !failure.empty())
        return failure;

    if (!request.agent.empty()) {
        const std::string zip = layout.resourceDir + "/" + installAgentZipName;
        if (isDirectory(request.agent)) {
            if (const std::string problem = zipAgentDirectory(request.agent, zip); !problem.empty())
                return "install agent " + request.agent + " " + problem;
            // What zip made is held to the same test as a given archive.
            if (const std::string problem = agentArchiveProblem(zip); !problem.empty())
                return "install agent zipped from " + request.agent + " " + problem;
        } else if (failure = copyFileTo(request.agent, zip, 0644); !failure.empty()) {
            return failure;
        }
    }
    if (!request.splash.empty()
        && !(failure = copyFileTo(request.splash, layout.resourceDir + "/" + splashPictureName, 0644)).empty())
        return failure;
    if (!request.publicKey.empty()
        && !(failure = copyFileTo(request.publicKey, layout.resourceDir + "/" + installAgentPublicKeyName, 0644)).empty())
        return failure;
    if (chmod(layout.root.c_str(), 0755) != 0)
        return "cannot set the mode of " + layout.root;
    return {};
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
