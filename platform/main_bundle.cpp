#include "platform/main_bundle.h"

#include "platform/paths.h"
#include "provisioning/bundle_contents.h"

namespace {

struct Override {
    bool active = false;
    std::optional<MainBundle> bundle;
};

Override& mainBundleOverride()
{
    static Override value;
    return value;
}

} // namespace

std::optional<MainBundle> bundleForExecutable(const std::string& executablePath)
{
    if (executablePath.empty())
        return std::nullopt;
    const BundleDirectories bundle = bundleDirectoriesAround(executablePath);
    return MainBundle{bundle.root, bundle.resourceDir};
}

std::optional<MainBundle> mainBundle()
{
    const Override& forced = mainBundleOverride();
    if (forced.active)
        return forced.bundle;
    return bundleForExecutable(readRunningExecutableLink());
}

std::string mainBundleName()
{
    const std::optional<MainBundle> bundle = mainBundle();
    if (!bundle)
        return {};
    const std::string name = lastPathComponent(bundle->bundlePath);
    return bundle->resourcePath != bundle->bundlePath ? applicationBundleTitle(name) : name;
}

void overrideMainBundle(std::optional<MainBundle> bundle)
{
    mainBundleOverride() = Override{true, std::move(bundle)};
}

void clearMainBundleOverride()
{
    mainBundleOverride() = Override{};
}
