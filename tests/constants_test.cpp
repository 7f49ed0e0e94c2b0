// The release this launcher serves, as compiled in: the download URL's form
// and the names of the cache and its files.

#include "provisioning/constants.h"
#include "support/launcher_sandbox.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

TEST(ReleaseConstants, DefaultUrlIsPlainHttpWithTheReleasePath)
{
    const std::string scheme = "http://";
    ASSERT_EQ(defaultInstallAgentURL.compare(0, scheme.size(), scheme), 0) << defaultInstallAgentURL;
    const std::string rest = defaultInstallAgentURL.substr(scheme.size());
    const auto slash = rest.find('/');
    ASSERT_NE(slash, std::string::npos);
    const std::string host = rest.substr(0, slash);
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host.find(':'), std::string::npos) << "no port expected in " << defaultInstallAgentURL;
    EXPECT_EQ(rest.substr(slash), "/pi_install_agent_pi_Q3071x_ostx86");
}

TEST(ReleaseConstants, CacheAndFileNames)
{
    EXPECT_EQ(cacheSubpath, kCacheSubpath);
    EXPECT_EQ(installAgentZipName, "InstallAgent.zip");
    EXPECT_EQ(installAgentDirName, "installagent");
    EXPECT_EQ(validationFileName, ".validatestring");
}
