// The kit's .deb packages, as CPack made them for this build (the CTest
// fixture kit_packages): what they hold and depend on, and the installed
// tool and launcher unpacked into a scratch root (dpkg -x) and run from there.

#include "support/bundle_layout.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace testsupport;

namespace {

const std::string version = LAUNCHER_VERSION;

// <name>_<version>_<architecture>.deb in the package directory.
std::string packageFile(const std::string& name)
{
    if (!isDirectory(LAUNCHER_PACKAGE_DIR)) {
        ADD_FAILURE() << "no " << LAUNCHER_PACKAGE_DIR << ": the kit_packages test makes it";
        return {};
    }
    const std::string prefix = name + "_" + version + "_";
    for (const std::string& entry : listDirectory(LAUNCHER_PACKAGE_DIR))
        if (entry.rfind(prefix, 0) == 0 && entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".deb") == 0)
            return std::string(LAUNCHER_PACKAGE_DIR) + "/" + entry;
    ADD_FAILURE() << "no " << prefix << "*.deb in " << LAUNCHER_PACKAGE_DIR;
    return {};
}


std::string controlField(const std::string& package, const std::string& field)
{
    const ProcessResult result = run({"dpkg-deb", "--field", package, field});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

// The regular files of the package, as "./usr/...".
std::vector<std::string> packagedFiles(const std::string& package)
{
    const ProcessResult result = run({"dpkg-deb", "--contents", package});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> files;
    for (const std::string& line : splitLines(result.out)) {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        if (!mode.empty() && mode[0] == '-')
            files.push_back(path);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool mentions(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(KitPackage, CorePackageHoldsLauncherToolAndDocsAndOnlyRecommendsTheWindow)
{
    const std::string corePackage = packageFile("launcher");
    EXPECT_EQ(packagedFiles(corePackage), (std::vector<std::string>{
                                              "./usr/bin/launcher-bundle",
                                              "./usr/libexec/launcher/launcher",
                                              "./usr/share/doc/launcher/README.md",
                                              "./usr/share/man/man1/launcher-bundle.1.gz",
                                              "./usr/share/man/man1/launcher.1.gz",
                                          }));
    const std::string depends = controlField(corePackage, "Depends");
    for (const char* library : {"libc6", "libcurl4", "libpng16-16", "libjpeg62-turbo", "unzip"})
        EXPECT_TRUE(mentions(depends, library)) << library << " missing from Depends: " << depends;
    for (const char* gui : {"libfltk", "libx11", "launcher-window"})
        EXPECT_FALSE(mentions(depends, gui)) << gui << " in Depends: " << depends;
    EXPECT_TRUE(mentions(controlField(corePackage, "Recommends"), "launcher-window (= " + version + ")"));
}

TEST(KitPackage, WindowPackageHoldsTheModuleWithItsGuiLibraries)
{
    const std::string windowPackage = packageFile("launcher-window");
    EXPECT_EQ(packagedFiles(windowPackage), std::vector<std::string>{"./usr/libexec/launcher/launcher-window.so"});
    const std::string depends = controlField(windowPackage, "Depends");
    for (const std::string& needed : {"launcher (= " + version + ")", std::string("libfltk1.3"), std::string("libx11-6")})
        EXPECT_TRUE(mentions(depends, needed)) << needed << " missing from Depends: " << depends;
}

TEST(KitPackage, InstalledToolMakesABundleThatRunsItsAgent)
{
    ScratchDir scratch;
    const std::string root = scratch / "root";
    for (const std::string& package : {packageFile("launcher"), packageFile("launcher-window")}) {
        const ProcessResult unpacked = run({"dpkg", "-x", package, root});
        ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
    }
    makeDirectories(scratch / "agent");
    writeFile(scratch / "agent/install", kRecordingAgentScript);
    makeZip(scratch / "payload.zip", {{"product.txt", "the product\n"}});

    const std::string app = scratch / "Example Installer.app";
    const ProcessResult made = run({root + "/usr/bin/launcher-bundle", "--payload", scratch / "payload.zip", "--agent",
                                    scratch / "agent", "--splash", std::string(LAUNCHER_TESTS_DIR) + "/../examples/splash.png",
                                    app});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_TRUE(mentions(made.out, "Window module:    present")) << made.out;
    EXPECT_TRUE(mentions(made.out, "Problems: none")) << made.out;
    EXPECT_EQ(readFile(app + "/Contents/MacOS/launcher"), readFile(root + "/usr/libexec/launcher/launcher"));

    const std::string record = scratch.makeDir("record");
    const ProcessResult ran = run({app + "/Contents/MacOS/launcher", "--from", "the package"},
                                  {{"HOME", scratch.makeDir("home")},
                                   {"TMPDIR", scratch.makeDir("tmp")},
                                   {"AGENT_RECORD", record},
                                   {"ZX_INSTALLER_UI", "plain"}});
    ASSERT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(readAgentRecord(record).args,
              (std::vector<std::string>{"-installbundle", app + "/Contents/Resources/bundle.zip", "--from",
                                        "the package"}));
}
