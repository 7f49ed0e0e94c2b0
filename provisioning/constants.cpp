#include "provisioning/constants.h"

// All in one translation unit, in this order, so that the composed values are
// built from finished parts.
const std::string pathSeparator = "/";
const std::string releaseTag = "Q3071x";
const std::string tagSeparator = "_";
const std::string platformTag = "ostx86";
const std::string installAgentZipName = "InstallAgent.zip";
const std::string defaultInstallAgentURL =
    std::string("http://downloads.kelvor.com/pi_install_agent_pi_") + releaseTag + tagSeparator + platformTag;
const std::string installAgentDirName = "installagent";
const std::string cacheSubpath = std::string(".kelvor") + pathSeparator + "installagent" + pathSeparator + releaseTag
    + pathSeparator + platformTag + pathSeparator;
const std::string validationFileName = ".validatestring";
