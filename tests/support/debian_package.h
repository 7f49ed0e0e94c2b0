#pragma once

// Looking into .deb packages as Debian's own tools see them: dpkg-deb for
// the control fields, lintian for what Debian's policy says of them.

#include <string>
#include <vector>

namespace testsupport {

// The package file <name>_<version>_<architecture>.deb in directory; fails
// the test and returns "" when there is none.
std::string debianPackageFile(const std::string& directory, const std::string& name, const std::string& version);

// The value of one control field of the package ("" when it has none).
std::string debianControlField(const std::string& package, const std::string& field);

// What lintian reports on the packages, one tag a line, informational tags
// included (overridden ones are not shown): "" for clean packages. Fails the
// test when lintian itself cannot run.
std::string lintianTags(const std::vector<std::string>& packages);

} // namespace testsupport
