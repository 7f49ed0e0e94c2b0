#include "support/debian_package.h"

#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

namespace testsupport {

std::string debianPackageFile(const std::string& directory, const std::string& name, const std::string& version)
{
    if (!isDirectory(directory)) {
        ADD_FAILURE() << "no package directory " << directory;
        return {};
    }
    const std::string prefix = name + "_" + version + "_";
    for (const std::string& entry : listDirectory(directory))
        if (entry.starts_with(prefix) && entry.ends_with(".deb"))
            return directory + "/" + entry;
    ADD_FAILURE() << "no " << prefix << "*.deb in " << directory;
    return {};
}

std::string debianControlField(const std::string& package, const std::string& field)
{
    const ProcessResult result = run({"dpkg-deb", "--field", package, field});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

std::string lintianTags(const std::vector<std::string>& packages)
{
    std::vector<std::string> argv{"lintian", "--display-info"};
    argv.insert(argv.end(), packages.begin(), packages.end());
    ProcessOptions options(argv);
    options.safetyLimit = std::chrono::seconds(600);
    const ProcessResult result = runProcess(options);
    // 1: lintian could not check; 2: error tags, which the output shows.
    EXPECT_TRUE(result.exited && result.exitCode != 1) << result.describe() << "\n" << result.err;
    return result.out;
}

} // namespace testsupport
