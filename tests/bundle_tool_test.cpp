// launcher-bundle from the build tree, as a vendor runs it: the bundles it
// refuses (one line, nothing written), the agents it takes as unzip will
// unpack them, the reports of --check, and how it says a splash picture will
// be shown.

#include "support/bundle_layout.h"
#include "support/bundle_tool.h"
#include "support/launcher_sandbox.h"
#include "support/minisign_keys.h"
#include "support/process.h"
#include "support/scratch.h"
#include "support/terminal_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <jpeglib.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

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

class BundleTool : public BundleToolTest {};

std::string bigEndian(std::uint32_t value)
{
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes;
}

std::string pngChunk(const std::string& type, const std::string& data)
{
    const std::string body = type + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    return bigEndian(static_cast<std::uint32_t>(data.size())) + body + bigEndian(static_cast<std::uint32_t>(crc));
}

// A PNG that announces width x height grey pixels and holds only its first
// row: its header is all the tool may read of it.
void writeAnnouncedPng(const std::string& path, std::uint32_t width, std::uint32_t height)
{
    const std::string header = bigEndian(width) + bigEndian(height) + std::string("\x08\x00\x00\x00\x00", 5);
    const std::string row(width + 1, '\0');
    std::string compressed(compressBound(static_cast<uLong>(row.size())), '\0');
    uLongf size = static_cast<uLongf>(compressed.size());
    compress(reinterpret_cast<Bytef*>(compressed.data()), &size, reinterpret_cast<const Bytef*>(row.data()),
             static_cast<uLong>(row.size()));
    compressed.resize(size);
    writeFile(path, std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", compressed));
}

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
    writeFile(inputs + "/big.pub", std::string(100000, 'A'));
    writeAnnouncedPng(inputs + "/huge.png", 20000, 20000);
    writeFile(inputs + "/text.svg", "just text\n");
    // unzip would strip these names, warn, and fail every run.
    makePythonZip(inputs + "/absolute.zip", {{"install", kRecordingAgentScript}, {"/abs/install", "x"}});
    makePythonZip(inputs + "/parent.zip", {{"install", kRecordingAgentScript}, {"lib/../../up", "x"}});
    // Outputs that are there already: a bundle, and directories that are none.
    const std::string existing = out + "/Existing.app";
    makeDirectories(existing);
    writeFile(existing + "/keep", "mine");
    const std::string notABundle = out + "/documents";
    makeDirectories(notABundle);
    writeFile(notABundle + "/letter.txt", "mine");
    // A build directory: the real launcher, with its build identity, but no payload.
    const std::string buildDir = out + "/build";
    makeDirectories(buildDir);
    copyFile(launcherBinary(), buildDir + "/launcher", 0755);
    writeFile(buildDir + "/CMakeCache.txt", "CMAKE_BUILD_TYPE:STRING=Release\n");
    // A payload beside a launcher that no kit built.
    const std::string fake = out + "/fake";
    makeDirectories(fake);
    writeFile(fake + "/launcher", "#!/bin/sh\necho not a launcher\n", 0755);
    writeFile(fake + "/bundle.zip", "mine");
    writeFile(out + "/foreign.run", "#!/bin/sh\necho mine\n", 0755);

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
        {{"--payload", payload, "--agent", inputs + "/absolute.zip", made}, "has an entry with an absolute path, /abs/install"},
        {{"--payload", payload, "--agent", inputs + "/parent.zip", made}, "has an entry with a .. component, lib/../../up"},
        {{"--payload", payload, "--splash", inputs + "/huge.png", made}, "is 20000x20000 pixels, more than the 16777216"},
        {{"--payload", payload, "--public-key", inputs + "/bad.pub", made}, "is not a minisign public key"},
        {{"--payload", payload, "--public-key", "/dev/zero", made}, "public key /dev/zero cannot be read (it is not a regular file)"},
        {{"--payload", payload, "--public-key", inputs + "/big.pub", made}, "big.pub is not a minisign public key (it is too large for a key file)"},
        {{"--payload", payload, "--icon", inputs + "/text.svg", made}, "neither a PNG nor an SVG picture"},
        {{"--payload", payload, existing}, existing + " exists (--replace replaces it)"},
        {{"--payload", payload, "--replace", notABundle}, "is not a bundle made from a kit (it holds no launcher); not replacing it"},
        {{"--payload", payload, "--replace", buildDir}, "(it holds no bundle.zip); not replacing it"},
        {{"--payload", payload, "--replace", fake}, "(it holds a launcher without a kit launcher's build identity)"},
        {{"--replace", "--wrap", notABundle, out + "/foreign.run"}, "foreign.run exists and is not a self-extracting file made with makeself; not replacing it"},
        {{"--wrap", notABundle, out + "/new.run"}, "documents is not a bundle made from a kit: it holds no launcher"},
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
    EXPECT_EQ(listDirectory(buildDir), (std::vector<std::string>{"CMakeCache.txt", "launcher"}));
    EXPECT_EQ(readFile(buildDir + "/launcher"), readFile(launcherBinary()));
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

TEST_F(BundleTool, TakesAnAgentMadeWithPythonsZipfile)
{
    makePythonZip(inputs + "/python.zip", {{"install", kRecordingAgentScript}});
    const std::string flat = out + "/setup";
    const ProcessResult made = tool({"--payload", payload, "--agent", inputs + "/python.zip", flat});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_NE(made.out.find("Problems: none"), std::string::npos) << made.out;

    const ProcessResult ran = sandbox.run({flat + "/launcher", "x"});
    ASSERT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(sandbox.agentRecord().args, (std::vector<std::string>{"-installbundle", flat + "/bundle.zip", "x"}));
}

TEST_F(BundleTool, StoresALinkInAnAgentDirectoryAsALink)
{
    // Followed, the link would put the directory into itself, again and again.
    writeFile(inputs + "/agent-dir/data", std::string(1 << 20, 'd'));
    ASSERT_EQ(symlink(".", (inputs + "/agent-dir/loop").c_str()), 0);
    const std::string flat = out + "/setup";
    const ProcessResult made = tool({"--payload", payload, "--agent", inputs + "/agent-dir", flat});
    ASSERT_EQ(made.exitCode, 0) << made.err;

    const ProcessResult listed = run({"unzip", "-Z", flat + "/InstallAgent.zip"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::vector<std::string> entries;
    for (const std::string& line : splitLines(listed.out))
        if (line.size() > 10 && (line[0] == '-' || line[0] == 'l'))
            entries.push_back(line.substr(0, 1) + " " + line.substr(line.rfind(' ') + 1));
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"- data", "- install", "l loop"})) << listed.out;
    const ProcessResult ran = sandbox.run({flat + "/launcher"});
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_TRUE(sandbox.agentRecord().ran);
}

// unzip asks for a password on the terminal, whatever its input, unless it
// has none: the tool's children have none, so the agent is refused at once.
TEST_F(BundleTool, RefusesAnEncryptedAgentAtOnceOnATerminal)
{
    const std::string source = inputs + "/agent-dir";
    ASSERT_EQ(run({"zip", "-q", "-P", "secret", inputs + "/encrypted.zip", "install"}, {}, source).exitCode, 0);
    const TerminalRun result = runOnTerminal(
        {LAUNCHER_BUNDLE_TOOL, "--payload", payload, "--agent", inputs + "/encrypted.zip", out + "/setup"},
        environmentWith(sandbox.environment()), std::chrono::seconds(30));
    ASSERT_TRUE(result.finished) << "waited at:\n" << result.output;
    EXPECT_TRUE(WIFEXITED(result.waitStatus) && WEXITSTATUS(result.waitStatus) == 1) << result.output;
    EXPECT_NE(result.output.find("has an encrypted entry install"), std::string::npos) << result.output;
    EXPECT_TRUE(listDirectory(out).empty());
}

TEST_F(BundleTool, CheckListsEveryKeyAndWarnsOfADownloadNothingChecks)
{
    const std::string flat = out + "/setup";
    ASSERT_EQ(tool({"--payload", payload, flat}).exitCode, 0);
    ProcessResult result = tool({"--check", flat});
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_NE(result.out.find("Largest agent:    2147483648 bytes (2.00 GiB): a larger download is refused\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Warning: the agent is downloaded over plain http:// and no InstallAgent.pub checks it"),
              std::string::npos)
        << result.out;

    // A vendor moving to a new key ships both.
    const MinisignKeys keys(scratch.path());
    keys.make("old");
    keys.make("new");
    writeFile(inputs + "/both.pub", readFile(keys.publicKey("old")) + readFile(keys.publicKey("new")));
    ASSERT_EQ(tool({"--payload", payload, "--public-key", inputs + "/both.pub", "--replace", flat}).exitCode, 0);
    result = tool({"--check", flat});
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_NE(result.out.find("Signed downloads: required (InstallAgent.pub, key ids " + keys.keyId("old") + ", "
                              + keys.keyId("new") + ")\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("Warning:"), std::string::npos) << result.out;

    // A key file that leads nowhere still asks for signatures: the launcher downloads nothing.
    removeTree(flat + "/InstallAgent.pub");
    ASSERT_EQ(symlink("gone.pub", (flat + "/InstallAgent.pub").c_str()), 0);
    result = tool({"--check", flat});
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_NE(result.out.find("Signed downloads: required, but the key is unusable\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Problem: InstallAgent.pub cannot be read (it is a link that leads nowhere)"),
              std::string::npos)
        << result.out;
}

TEST_F(BundleTool, SignsAnAgentWithWhatTheLauncherHoldsItTo)
{
    const MinisignKeys keys(scratch.path());
    keys.make("vendor");
    const std::string agent = inputs + "/agent.zip";
    const ProcessResult result = tool({"--sign-agent", agent, "--secret-key", keys.secretKey("vendor")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Signed " + agent + ": " + agent + ".minisig (key id " + keys.keyId("vendor") + ")"),
              std::string::npos)
        << result.out;
    const ProcessResult verified = run({"minisign", "-V", "-p", keys.publicKey("vendor"), "-m", agent});
    ASSERT_EQ(verified.exitCode, 0) << verified.err;
    const std::string comment = splitLines(readFile(agent + ".minisig")).at(2);
    EXPECT_TRUE(comment.starts_with("trusted comment: timestamp:")) << comment;
    EXPECT_TRUE(comment.ends_with("\trelease:Q3071x\tplatform:ostx86\tsize:" + std::to_string(readFile(agent).size())
                                  + "\tfile:agent.zip"))
        << comment;

    // Elsewhere with --output; refused without a key, or for something that is no agent.
    ASSERT_EQ(tool({"--sign-agent", agent, "--secret-key", keys.secretKey("vendor"), "--output", out + "/a.sig"}).exitCode,
              0);
    EXPECT_TRUE(isRegularFile(out + "/a.sig"));
    EXPECT_EQ(tool({"--sign-agent", agent}).exitCode, 2);
    writeFile(inputs + "/not-an-agent.zip", "text");
    const ProcessResult refused = tool({"--sign-agent", inputs + "/not-an-agent.zip", "--secret-key", keys.secretKey("vendor")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(splitLines(refused.err).size(), 1u) << refused.err;
    EXPECT_FALSE(pathExists(inputs + "/not-an-agent.zip.minisig"));
}
