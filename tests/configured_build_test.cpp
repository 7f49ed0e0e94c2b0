// A vendor's build of the kit: the source configured afresh, into a build
// directory under the test's scratch directory, with other values for the
// compiled-in release identity and for the packages' identity. Bad values
// stop the configure step; good ones reach the built launcher, which
// downloads from the configured URL (the test server on 127.0.0.1) and
// caches under the configured names, and the .deb packages CPack makes of
// that build (an optimised one, no build type being given).

#include "support/bundle_layout.h"
#include "support/debian_package.h"
#include "support/http_server.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

const std::string sourceDir = std::string(LAUNCHER_TESTS_DIR) + "/..";

// Configures the source into buildDir with the extra cache settings.
ProcessResult configure(const std::string& buildDir, const std::vector<std::string>& settings)
{
    std::vector<std::string> argv{LAUNCHER_CMAKE_COMMAND, "-S", sourceDir, "-B", buildDir, "-G", LAUNCHER_CMAKE_GENERATOR,
                                  "-DCMAKE_CXX_COMPILER=" LAUNCHER_CXX_COMPILER, "-DLAUNCHER_BUILD_TESTS=OFF"};
    argv.insert(argv.end(), settings.begin(), settings.end());
    return run(argv);
}

} // namespace

TEST(ConfiguredBuild, BadValuesStopTheConfigureStepWithAMessage)
{
    ScratchDir scratch;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-DLAUNCHER_RELEASE_TAG=2024/1", "LAUNCHER_RELEASE_TAG must be a single directory name"},
        {"-DLAUNCHER_DOWNLOAD_URL=ftp://example.invalid/agent.zip", "LAUNCHER_DOWNLOAD_URL must start with http://"},
        {"-DLAUNCHER_CACHE_ROOT=..", "LAUNCHER_CACHE_ROOT must not be \".\" or \"..\""},
        {"-DLAUNCHER_MAX_AGENT_BYTES=2G", "LAUNCHER_MAX_AGENT_BYTES must be a whole number of bytes"},
        {"-DLAUNCHER_MAX_AGENT_BYTES=9223372036854775808", "LAUNCHER_MAX_AGENT_BYTES must be below 2^63"},
        {"-DLAUNCHER_PACKAGE_NAME=Acme_Kit", "LAUNCHER_PACKAGE_NAME must be a Debian package name"},
        {"-DLAUNCHER_PACKAGE_VERSION=v2", "LAUNCHER_PACKAGE_VERSION must be a Debian version"},
        {"-DLAUNCHER_PACKAGE_MAINTAINER=packages@acme.example", "LAUNCHER_PACKAGE_MAINTAINER must be one contact"},
        {"-DLAUNCHER_PACKAGE_DESCRIPTION=Launcher for Acme", "must not start with the package name launcher"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [setting, message] = cases[i];
        SCOPED_TRACE(setting);
        const ProcessResult result = configure(scratch / ("build-" + std::to_string(i)), {setting});
        EXPECT_NE(result.exitCode, 0);
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
}

TEST(ConfiguredBuild, ReleaseAndPackageIdentityReachTheBuiltLauncherAndItsPackages)
{
    ScratchDir scratch;
    HttpTestServer server;
    makeInstallAgentZip(scratch / "agent.zip", kRecordingAgentScript);
    const std::string url = server.url("/vendor/agent.zip?file=" + (scratch / "agent.zip") + "&etag=%22v1%22");

    const std::string buildDir = scratch / "build";
    const ProcessResult configured = configure(
        buildDir, {"-DLAUNCHER_RELEASE_TAG=R2099a", "-DLAUNCHER_PLATFORM_TAG=lnx64", "-DLAUNCHER_CACHE_ROOT=.acme",
                   "-DLAUNCHER_DOWNLOAD_URL=" + url, "-DLAUNCHER_MAX_AGENT_BYTES=1000000",
                   "-DLAUNCHER_PACKAGE_NAME=acme-setup-kit",
                   "-DLAUNCHER_PACKAGE_VERSION=2099.1-2",
                   "-DLAUNCHER_PACKAGE_MAINTAINER=Acme Packaging <packages@acme.example>",
                   "-DLAUNCHER_PACKAGE_DESCRIPTION=Acme's installer launcher and bundle tool"});
    ASSERT_EQ(configured.exitCode, 0) << configured.err;
    EXPECT_NE(readFile(buildDir + "/CMakeCache.txt").find("\nCMAKE_BUILD_TYPE:STRING=Release\n"), std::string::npos);
    ProcessOptions build({LAUNCHER_CMAKE_COMMAND, "--build", buildDir, "--", "-j2"});
    build.safetyLimit = std::chrono::seconds(1500);
    const ProcessResult built = runProcess(build);
    ASSERT_EQ(built.exitCode, 0) << built.out << built.err;

    // That launcher in a flat bundle without an agent, nothing in the
    // environment pointing it elsewhere.
    const std::string bundle = scratch.makeDir("Acme Setup");
    copyFile(buildDir + "/launcher", bundle + "/launcher", 0755);
    writeBundlePayload(bundle);
    const LauncherSandbox sandbox;
    const std::string& home = sandbox.home;
    const ProcessResult ran = sandbox.run({bundle + "/launcher", "vendor"}, {{launcherenv::kAgentUrl, std::nullopt}});
    ASSERT_EQ(ran.exitCode, 0) << ran.err;
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/vendor/agent.zip");
    EXPECT_EQ(sandbox.agentRecord().args, (std::vector<std::string>{"-installbundle", bundle + "/bundle.zip", "vendor"}));
    const std::string cache = home + "/.acme/installagent/R2099a/lnx64/";
    EXPECT_TRUE(isRegularFile(cache + "installagent/install"));
    EXPECT_EQ(readFile(cache + ".validatestring"), "\"v1\"");
    EXPECT_EQ(listDirectory(home), std::vector<std::string>{".acme"});

    // An agent larger than the configured limit is refused, at its length and without one.
    for (const std::string more : {"", "&length=0"}) {
        const ProcessResult large = sandbox.run(
            {bundle + "/launcher"}, downloadingFrom(server.url("/large.zip?size=2000000&zip_start=1&etag=%22v2%22" + more)));
        EXPECT_EQ(large.exitCode, 255) << large.err;
        const std::string reason = more.empty() ? "the download is 2000000 bytes, more than" : "the download went past";
        EXPECT_NE(large.err.find(reason + " this launcher's limit (1000000 bytes)"), std::string::npos) << large.err;
        EXPECT_EQ(readFile(cache + ".validatestring"), "\"v1\"");
    }

    // The bundle tool of this build reads that launcher's values from its file.
    const ProcessResult checked = run({LAUNCHER_BUNDLE_TOOL, "--check", bundle},
                                      sandbox.environment({{launcherenv::kAgentUrl, std::nullopt}}));
    EXPECT_EQ(checked.exitCode, 0) << checked.out;
    for (const std::string& line : {std::string("Launcher:         launcher, release R2099a, platform lnx64"),
                                    "Install agent:    downloaded from " + url,
                                    "Cache:            " + cache + " (holds an agent)",
                                    std::string("Largest agent:    1000000 bytes (976.6 KiB): a larger download is refused")})
        EXPECT_NE(checked.out.find(line + "\n"), std::string::npos) << "missing: " << line << "\n" << checked.out;

    // Its packages carry the vendor's name, version, contact and synopsis;
    // the window's is named after the main one; both pass lintian.
    const ProcessResult packaged = run({LAUNCHER_CPACK_COMMAND, "--config", buildDir + "/CPackConfig.cmake", "-G", "DEB",
                                        "-B", buildDir + "/packages"});
    ASSERT_EQ(packaged.exitCode, 0) << packaged.out << packaged.err;
    const std::string main = debianPackageFile(buildDir + "/packages", "acme-setup-kit", "2099.1-2");
    const std::string window = debianPackageFile(buildDir + "/packages", "acme-setup-kit-window", "2099.1-2");
    EXPECT_EQ(debianControlField(main, "Maintainer"), "Acme Packaging <packages@acme.example>\n");
    EXPECT_TRUE(debianControlField(main, "Description").starts_with("Acme's installer launcher and bundle tool\n"));
    EXPECT_NE(debianControlField(main, "Recommends").find("acme-setup-kit-window (= 2099.1-2)"), std::string::npos);
    EXPECT_NE(debianControlField(window, "Depends").find("acme-setup-kit (= 2099.1-2)"), std::string::npos);
    const std::string tags = lintianTags({main, window});
    EXPECT_TRUE(tags.empty()) << "lintian:\n" << tags;
}
