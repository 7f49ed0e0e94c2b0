// What a bundle holds: the rule for the names of alternative install-agent
// archives.

#include "provisioning/bundle_contents.h"

#include <gtest/gtest.h>

TEST(AlternativeArchiveName, PrefixAndSuffixMustMatchExactly)
{
    for (const char* name : {"InstallAgent_.zip", "InstallAgent_x.zip", "InstallAgent_x.zip.zip", "InstallAgent_2.zip",
                             "InstallAgent_with blank.zip"})
        EXPECT_TRUE(isAlternativeInstallAgentName(name)) << name;
    for (const char* name : {"InstallAgent_x.ZIP", "installagent_x.zip", "InstallAgent-x.zip", "InstallAgent_x.zip.part",
                             "xInstallAgent_y.zip", "InstallAgent.zip", "InstallAgent_", "InstallAgent_zip",
                             "InstallAgent.zip_", ".", "..", ""})
        EXPECT_FALSE(isAlternativeInstallAgentName(name)) << name;
}
