// The kit's .deb packages, as CPack made them for this build (the CTest
// fixture kit_packages): what they hold and depend on, and the installed
// tool and launcher unpacked into a scratch root (dpkg -x) and run from there.

#include "support/bundle_layout.h"
#include "support/launcher_sandbox.h"
#include "support/debian_package.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

using namespace testsupport;

namespace {

const std::string version = LAUNCHER_VERSION;

std::string packageFile(const std::string& name)
{
    return debianPackageFile(LAUNCHER_PACKAGE_DIR, name, version);
}

std::string controlField(const std::string& package, const std::string& field)
{
    return debianControlField(package, field);
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

// Both packages unpacked (dpkg -x) into root, as installed.
void unpackBothPackages(const std::string& root)
{
    for (const std::string& package : {packageFile("launcher"), packageFile("launcher-window")}) {
        const ProcessResult unpacked = run({"dpkg", "-x", package, root});
        ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
    }
}

} // namespace

TEST(KitPackage, CorePackageHoldsLauncherToolAndDocsAndOnlyRecommendsTheWindow)
{
    const std::string corePackage = packageFile("launcher");
    EXPECT_EQ(packagedFiles(corePackage), (std::vector<std::string>{
                                              "./usr/bin/launcher-bundle",
                                              "./usr/libexec/launcher/launcher",
                                              "./usr/share/doc/launcher/README.md",
                                              "./usr/share/doc/launcher/changelog.gz",
                                              "./usr/share/doc/launcher/copyright",
                                              "./usr/share/lintian/overrides/launcher",
                                              "./usr/share/man/man1/launcher-bundle.1.gz",
                                              "./usr/share/man/man1/launcher.1.gz",
                                          }));
    const std::string depends = controlField(corePackage, "Depends");
    for (const char* library : {"libc6", "libcurl4", "libpng16-16", "libjpeg62-turbo", "unzip"})
        EXPECT_TRUE(mentions(depends, library)) << library << " missing from Depends: " << depends;
    for (const char* gui : {"libfltk", "libx11", "launcher-window"})
        EXPECT_FALSE(mentions(depends, gui)) << gui << " in Depends: " << depends;
    const std::string recommends = controlField(corePackage, "Recommends");
    EXPECT_TRUE(mentions(recommends, "launcher-window (= " + version + ")")) << recommends;
    // The bundle tool's helpers, needed for some of its work only.
    for (const char* tool : {"zip", "makeself"})
        EXPECT_TRUE(mentions(recommends, tool)) << tool << " missing from Recommends: " << recommends;
    EXPECT_FALSE(mentions(depends, "makeself")) << "the launcher never runs it: " << depends;
}

TEST(KitPackage, WindowPackageHoldsTheModuleWithItsGuiLibraries)
{
    const std::string windowPackage = packageFile("launcher-window");
    EXPECT_EQ(packagedFiles(windowPackage), (std::vector<std::string>{
                                                "./usr/libexec/launcher/launcher-window.so",
                                                "./usr/share/doc/launcher-window/changelog.gz",
                                                "./usr/share/doc/launcher-window/copyright",
                                            }));
    const std::string depends = controlField(windowPackage, "Depends");
    for (const std::string& needed : {"launcher (= " + version + ")", std::string("libfltk1.3"), std::string("libx11-6")})
        EXPECT_TRUE(mentions(depends, needed)) << needed << " missing from Depends: " << depends;
}

TEST(KitPackage, InstalledToolMakesABundleThatRunsItsAgent)
{
    ScratchDir scratch;
    const std::string root = scratch / "root";
    ASSERT_NO_FATAL_FAILURE(unpackBothPackages(root));
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

    const LauncherSandbox sandbox;
    const ProcessResult ran = sandbox.run({app + "/Contents/MacOS/launcher", "--from", "the package"});
    ASSERT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(sandbox.agentRecord().args,
              (std::vector<std::string>{"-installbundle", app + "/Contents/Resources/bundle.zip", "--from",
                                        "the package"}));
}

// Debian's checker finds nothing, not even an informational tag: the
// hardening of the binaries (fortify, bind-now, PIE) is reported only at
// that level. A build without Debian's hardening flags (Debug, sanitizers)
// is held to everything else. The binaries are stripped in the packages only.
TEST(KitPackage, BothPackagesPassLintian)
{
    std::string tags;
    for (const std::string& tag : splitLines(lintianTags({packageFile("launcher"), packageFile("launcher-window")})))
        if (LAUNCHER_HARDENED || !mentions(tag, ": hardening-"))
            tags += tag + "\n";
    EXPECT_TRUE(tags.empty()) << "lintian:\n" << tags;
    EXPECT_TRUE(mentions(run({"file", "-b", LAUNCHER_BINARY}).out, "not stripped"));
}

// The installed man pages carry the release date and pass both checkers
// Debian has for them.
TEST(KitPackage, ManPagesAreDatedAndWarningFree)
{
    ScratchDir scratch;
    const std::string root = scratch / "root";
    ASSERT_NO_FATAL_FAILURE(unpackBothPackages(root));
    for (const std::string page : {"launcher", "launcher-bundle"}) {
        SCOPED_TRACE(page);
        const std::string file = root + "/usr/share/man/man1/" + page + ".1.gz";
        const std::string source = run({"zcat", file}).out;
        std::string title = page;
        std::transform(title.begin(), title.end(), title.begin(), [](unsigned char c) { return std::toupper(c); });
        EXPECT_TRUE(source.starts_with(".TH " + title + " 1 " LAUNCHER_RELEASE_DATE " "))
            << source.substr(0, source.find('\n'));
        const ProcessResult mandoc = run({"mandoc", "-T", "lint", "-W", "warning", file});
        EXPECT_EQ(mandoc.exitCode, 0) << mandoc.out << mandoc.err;
        const ProcessResult man = run({"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", file},
                                      {{"LC_ALL", "C.UTF-8"}, {"MANWIDTH", "80"}, {"MANROFFSEQ", ""}});
        EXPECT_EQ(man.exitCode, 0) << man.err;
        EXPECT_EQ(man.err, "");
    }
}
