// launcher-bundle from the build tree, as a vendor runs it: the bundles it
// refuses (one line, nothing written), the reports of --check, and how it
// says a splash picture will be shown.

#include "support/bundle_layout.h"
#include "support/launcher_sandbox.h"
#include "support/process.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <jpeglib.h>
#include <png.h>
#include <vector>

using namespace testsupport;

namespace {

// Pictures of one grey, written with the libraries' encoders.
void writePng(const std::string& path, int width, int height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_GRAY;
    const std::vector<png_byte> pixels(static_cast<std::size_t>(width) * height, 128);
    ASSERT_NE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr), 0) << image.message;
}

void writeJpeg(const std::string& path, int width, int height)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width), 128);
    JSAMPROW rows[1] = {row.data()};
    while (info.next_scanline < info.image_height)
        jpeg_write_scanlines(&info, rows, 1);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

// A throwaway minisign key pair; returns the public key's path.
std::string makePublicKey(const ScratchDir& scratch)
{
    const ProcessResult made = run({"minisign", "-G", "-W", "-f", "-p", scratch / "key.pub", "-s", scratch / "key.sec"});
    if (!made.exited || made.exitCode != 0)
        ADD_FAILURE() << "minisign -G: " << made.describe() << "\n" << made.err;
    return scratch / "key.pub";
}

class BundleTool : public ::testing::Test {
protected:
    // The tool reads the launcher's variables too: it runs in the sandbox's
    // environment, and the bundles it makes run in the sandbox.
    LauncherSandbox sandbox;
    const ScratchDir& scratch = sandbox.scratch;
    std::string inputs = scratch.makeDir("inputs");
    std::string out = scratch.makeDir("out");
    std::string payload = inputs + "/payload.zip";

    void SetUp() override
    {
        makeZip(payload, {{"README.txt", "the product\n"}});
        makeInstallAgentZip(inputs + "/agent.zip", kRecordingAgentScript);
        makeDirectories(inputs + "/agent-dir");
        writeFile(inputs + "/agent-dir/install", kRecordingAgentScript);
    }

    // The tool in the sandbox's environment without a download URL of its
    // own, so that --check tells the built-in one.
    ProcessResult tool(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), LAUNCHER_BUNDLE_TOOL);
        return run(arguments, sandbox.environment({{launcherenv::kAgentUrl, std::nullopt}}), scratch.path());
    }
};

} // namespace

TEST_F(BundleTool, RefusesEachBadInputWithOneLineAndWritesNothing)
{
    // Inputs that are wrong in one way each.
    makeZip(inputs + "/nested.zip", {{"agent/install", "echo nested\n"}});
    makeZip(inputs + "/install-dir.zip", {{"install/readme", "a directory\n"}});
    writeFile(inputs + "/not-a-zip.zip", "PK but not really");
    makeDirectories(inputs + "/empty-agent-dir");
    writeFile(inputs + "/empty-agent-dir/setup.sh", "echo no install here\n");
    writePng(inputs + "/whole.png", 64, 64);
    const std::string png = readFile(inputs + "/whole.png");
    writeFile(inputs + "/cut.png", png.substr(0, png.size() / 2));
    writeJpeg(inputs + "/whole.jpg", 64, 64);
    const std::string jpeg = readFile(inputs + "/whole.jpg");
    writeFile(inputs + "/cut.jpg", jpeg.substr(0, jpeg.size() / 2));
    writeFile(inputs + "/text.png", "just text\n");
    writeFile(inputs + "/bad.pub", "untrusted comment: minisign public key\nnot base64 at all\n");
    // Outputs that are there already: a bundle, and a directory that is not one.
    const std::string existing = out + "/Existing.app";
    makeDirectories(existing);
    writeFile(existing + "/keep", "mine");
    const std::string notABundle = out + "/documents";
    makeDirectories(notABundle);
    writeFile(notABundle + "/letter.txt", "mine");

    struct Case {
        std::vector<std::string> arguments;
        std::string saying; // part of the one line on stderr
    };
    const std::string made = out + "/Made.app";
    const std::vector<Case> cases = {
        {{"--payload", inputs + "/missing.zip", made}, "payload " + inputs + "/missing.zip does not exist"},
        {{"--payload", inputs, made}, "is not a regular file"},
        {{"--payload", payload, "--agent", inputs + "/missing.zip", made}, "does not exist"},
        {{"--payload", payload, "--agent", inputs + "/not-a-zip.zip", made}, "unzip -t"},
        {{"--payload", payload, "--agent", inputs + "/nested.zip", made}, "has no install at its top level (only agent/install)"},
        {{"--payload", payload, "--agent", inputs + "/install-dir.zip", made}, "directory install"},
        {{"--payload", payload, "--agent", inputs + "/empty-agent-dir", made}, "has no install at its top level"},
        {{"--payload", payload, "--splash", inputs + "/text.png", made}, "neither a PNG nor a JPEG"},
        {{"--payload", payload, "--splash", inputs + "/cut.png", made}, "damaged PNG"},
        {{"--payload", payload, "--splash", inputs + "/cut.jpg", made}, "damaged JPEG"},
        {{"--payload", payload, "--public-key", inputs + "/bad.pub", made}, "is not a minisign public key"},
        {{"--payload", payload, existing}, existing + " exists (--replace replaces it)"},
        {{"--payload", payload, "--replace", notABundle}, "is not a bundle; not replacing it"},
        {{"--payload", payload, out + "/no/such/dir/Made.app"}, "does not exist"},
        {{made}, "--payload is required"},
        {{"--payload", payload, "--splash"}, "--splash needs a value"},
        {{"--payload", payload, "--colour", "red", made}, "unknown option --colour"},
    };
    const std::vector<std::string> before = listDirectory(out);
    for (const Case& bad : cases) {
        std::string shown;
        for (const auto& word : bad.arguments)
            shown += " " + word;
        SCOPED_TRACE("launcher-bundle" + shown);
        const ProcessResult result = tool(bad.arguments);
        EXPECT_TRUE(result.exited && result.exitCode != 0) << result.describe();
        const std::vector<std::string> lines = splitLines(result.err);
        ASSERT_EQ(lines.size(), 1u) << result.err;
        EXPECT_EQ(lines[0].rfind("launcher-bundle: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(bad.saying), std::string::npos) << lines[0];
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(listDirectory(out), before) << "something was written";
    }
    EXPECT_EQ(readFile(existing + "/keep"), "mine");
    EXPECT_EQ(readFile(notABundle + "/letter.txt"), "mine");
}

TEST_F(BundleTool, MakesAnAppBundleFromADirectoryAgentAndReplacesItOnlyWhenTold)
{
    writePng(inputs + "/splash.png", 800, 600);
    const std::string app = out + "/Acme Setup.app";
    ProcessResult result = tool({"--payload", payload, "--agent", inputs + "/agent-dir", "--splash",
                                 inputs + "/splash.png", app});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Splash:           800x600 PNG, shown at 400x300"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Problems: none"), std::string::npos) << result.out;
    EXPECT_EQ(listDirectory(out), std::vector<std::string>{"Acme Setup.app"});
    EXPECT_EQ(listDirectory(app + "/Contents/Resources"),
              (std::vector<std::string>{"InstallAgent.zip", "bundle.zip", "splash.png"}));
    EXPECT_EQ(permissionBits(app + "/Contents/MacOS/launcher"), 0755);

    // The zipped directory runs: the launcher unpacks it and starts install.
    const ProcessResult ran = sandbox.run({app + "/Contents/MacOS/launcher", "x"});
    ASSERT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(sandbox.agentRecord().args,
              (std::vector<std::string>{"-installbundle", app + "/Contents/Resources/bundle.zip", "x"}));

    // Again, without an agent: refused, then with --replace a bundle that downloads.
    result = tool({"--payload", payload, app});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(pathExists(app + "/Contents/Resources/InstallAgent.zip"));
    result = tool({"--payload", payload, "--replace", app});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(listDirectory(app + "/Contents/Resources"), std::vector<std::string>{"bundle.zip"});
    EXPECT_EQ(listDirectory(out), std::vector<std::string>{"Acme Setup.app"}) << "the old bundle is gone";
}

TEST_F(BundleTool, SaysHowASmallJpegIsEnlarged)
{
    writeJpeg(inputs + "/small.jpg", 100, 50);
    const ProcessResult result = tool({"--payload", payload, "--splash", inputs + "/small.jpg", out + "/flat"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Splash:           100x50 JPEG, shown at 400x200"), std::string::npos) << result.out;
    EXPECT_TRUE(isRegularFile(out + "/flat/splash.png"));
    EXPECT_TRUE(isRegularFile(out + "/flat/launcher"));
}

TEST_F(BundleTool, CheckTellsWhereTheAgentComesFromTheCacheAndSigning)
{
    const std::string key = makePublicKey(scratch);
    const std::string flat = out + "/setup";
    ASSERT_EQ(tool({"--payload", payload, "--public-key", key, flat}).exitCode, 0);

    const ProcessResult result = tool({"--check", flat});
    EXPECT_EQ(result.exitCode, 0) << result.out;
    // As minisign writes it into the key's comment: without leading zeros.
    const std::string keyText = readFile(key);
    const std::size_t idStart = keyText.find("public key ") + 11;
    const std::string keyId = keyText.substr(idStart, keyText.find('\n') - idStart);
    for (const std::string& line : {
             "Bundle:           " + flat + " (flat layout)",
             std::string("Install agent:    downloaded from http://downloads.kelvor.com/pi_install_agent_pi_Q3071x_ostx86"),
             "Cache:            " + sandbox.cacheDir + " (holds no agent yet)",
             "Signed downloads: required (InstallAgent.pub, key id " + keyId + ")",
             std::string("Problems: none"),
         })
        EXPECT_NE(result.out.find(line + "\n"), std::string::npos) << "missing: " << line << "\n" << result.out;
}

TEST_F(BundleTool, CheckReportsTwoAlternativeAgentsAndAMissingPayload)
{
    const std::string flat = out + "/setup";
    ASSERT_EQ(tool({"--payload", payload, flat}).exitCode, 0);
    makeInstallAgentZip(flat + "/InstallAgent_a.zip", kRecordingAgentScript);
    makeInstallAgentZip(flat + "/InstallAgent_b.zip", kRecordingAgentScript);
    removeTree(flat + "/bundle.zip");

    const ProcessResult result = tool({"--check", flat});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("Problem: 2 install agents"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("depends on the directory's order"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Problem: no installation payload bundle.zip"), std::string::npos) << result.out;
}
