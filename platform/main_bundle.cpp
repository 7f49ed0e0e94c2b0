#include "platform/main_bundle.h"

#include "platform/paths.h"

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
    const std::string directory = parentDirectory(executablePath);
    static const std::string bundledTail = "/Contents/MacOS";
    if (directory.size() > bundledTail.size()
        && directory.compare(directory.size() - bundledTail.size(), bundledTail.size(), bundledTail) == 0) {
        const std::string bundle = directory.substr(0, directory.size() - bundledTail.size());
        return MainBundle{bundle, bundle + "/Contents/Resources"};
    }
    return MainBundle{directory, directory};
}

std::optional<MainBundle> mainBundle()
{
    const Override& forced = mainBundleOverride();
    if (forced.active)
        return forced.bundle;
    return bundleForExecutable(readRunningExecutableLink());
}

void overrideMainBundle(std::optional<MainBundle> bundle)
{
    mainBundleOverride() = Override{true, std::move(bundle)};
}

void clearMainBundleOverride()
{
    mainBundleOverride() = Override{};
}
