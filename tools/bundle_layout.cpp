#include "tools/bundle_layout.h"

#include "tools/bundle_files.h"

bool namesApplicationBundle(const std::string& name)
{
    static const std::string suffix = ".app";
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

BundleLayout bundleLayoutFor(const std::string& root, bool application)
{
    if (application)
        return BundleLayout{true, root, root + "/Contents/MacOS", root + "/Contents/Resources"};
    return BundleLayout{false, root, root, root};
}

BundleLayout existingBundleLayout(const std::string& root)
{
    return bundleLayoutFor(root, isDirectory(root + "/Contents/MacOS"));
}
